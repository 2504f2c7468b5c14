#!/usr/bin/env bash
# Builds the library and the tests labelled "threads" under ThreadSanitizer
# and runs them; any race report fails the step.
set -euo pipefail
build="${KELTO_TSAN_BUILD:-build-tsan}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELTO_SANITIZE=thread -DKELTO_WERROR=ON \
  -DKELTO_BUILD_BENCH=OFF -DKELTO_BUILD_EXAMPLES=OFF >/dev/null
# Only the test programs labelled "threads" (and what they link) are built.
targets=$(find tests -name CMakeLists.txt -exec cat {} + | awk '
  /kelto_add_gtest\(/ { block = ""; collecting = 1 }
  collecting { block = block " " $0 }
  collecting && /\)/ {
    collecting = 0
    if (match(block, /LABELS[^)]*[ \t]threads[ \t)]/)) {
      sub(/.*kelto_add_gtest\(/, "", block); split(block, name, /[ \t]/); print name[1]
    }
  }' | sort -u)
[ -n "$targets" ] || { echo "no test is labelled threads"; exit 1; }
cmake --build "$build" -j2 --target $targets
export TSAN_OPTIONS="halt_on_error=1 abort_on_error=1 exitcode=66 second_deadlock_stack=1"
ctest --test-dir "$build" -L threads --output-on-failure --no-tests=error
echo "thread sanitizer: no reports"
