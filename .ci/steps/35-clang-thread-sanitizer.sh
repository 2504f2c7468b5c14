#!/usr/bin/env bash
# The clang build: every target (library, tools, tests, examples) compiled
# by clang with warnings as errors, under ThreadSanitizer, so one build
# serves both. The benchmarks count allocations with an operator new of
# their own, which a sanitizer's runtime also defines: they are left out
# here and built by g++ in the Release build. The tests labelled "threads"
# run on it, and any race report fails the step; the whole suite runs on
# the g++ builds (the suite's, and the one the other sanitizers and
# coverage share).
# A test name wider than 120 characters fails the step too: ctest pads
# every result line to the widest name.
set -euo pipefail
cd "$(dirname "$0")/../.."
build="${KELTO_TSAN_BUILD:-build-ci-clang-tsan}"
jobs="${KELTO_JOBS:-2}"

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DKELTO_SANITIZE=thread -DKELTO_WERROR=ON \
  -DKELTO_BUILD_TESTS=ON -DKELTO_BUILD_TOOLS=ON -DKELTO_BUILD_EXAMPLES=ON \
  -DKELTO_BUILD_BENCH=OFF -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
start=$SECONDS
cmake --build "$build" -j "$jobs" >"$build/build.log" 2>&1 ||
  { cat "$build/build.log"; echo "clang build failed"; exit 1; }
echo "-- clang built every target in $((SECONDS - start)) s"

echo "-- test names"
widest=$(ctest --test-dir "$build" -N | sed -n 's/^ *Test *#[0-9]*: //p' |
  awk '{ if (length($0) > max) { max = length($0); name = $0 } } END { print max " " name }')
echo "   widest test name: $widest"
[ "${widest%% *}" -le 120 ] || { echo "a test name is wider than 120 characters"; exit 1; }

echo "-- the tests labelled threads, under ThreadSanitizer"
export TSAN_OPTIONS="halt_on_error=1 abort_on_error=1 exitcode=66 second_deadlock_stack=1"
ctest --test-dir "$build" -L threads --output-on-failure --no-tests=error
echo "thread sanitizer: no reports"
