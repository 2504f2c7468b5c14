#!/usr/bin/env bash
# Builds every target (library, tools, tests, examples, benchmarks) with
# warnings as errors in two configurations besides the suite's own
# (g++ RelWithDebInfo, ./scripts/test.sh):
#   g++ Release          -O3 finds warnings the others do not; it is also the
#                        build that is installed (into $KELTO_RELEASE_PREFIX,
#                        used by the consumer, package and keltoctl steps);
#   clang RelWithDebInfo the other compiler; the whole suite runs on this
#                        build too.
# The unoptimised build with assertions on is the coverage step's (g++
# Debug, warnings as errors, the whole suite run), so it is not made twice.
# A test name wider than 120 characters fails the step: ctest pads every
# result line to the widest name.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/release-build.sh
jobs="${KELTO_JOBS:-2}"

# build DIR CC CXX BUILD-TYPE [CMAKE-ARGS...]
build() {
  local dir="$1" cc="$2" cxx="$3" type="$4"
  shift 4
  local start=$SECONDS
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_CXX_COMPILER="$cxx" -DKELTO_WERROR=ON -DKELTO_BUILD_TESTS=ON \
    -DKELTO_BUILD_TOOLS=ON -DKELTO_BUILD_EXAMPLES=ON -DKELTO_BUILD_BENCH=ON "$@" >/dev/null
  grep -q '^benchmark_DIR:PATH=/' "$dir/CMakeCache.txt" ||
    { echo "Google Benchmark not found: the benchmarks would not be built"; exit 1; }
  cmake --build "$dir" -j "$jobs" >"$dir/build.log" 2>&1 ||
    { cat "$dir/build.log"; echo "build failed: $dir"; exit 1; }
  echo "   $dir: $cxx $type built in $((SECONDS - start)) s"
}

echo "-- a default build treats no warning as an error"
cmake -S . -B build-ci-default >/dev/null
if grep -rq --include=flags.make -e -Werror build-ci-default; then
  echo "a default build compiles with -Werror"
  exit 1
fi

echo "-- g++ Release"
# Installed under /usr by the Debian package: the prefix decides Debian's
# multiarch library directory. Other prefixes are given at install time.
build "$KELTO_RELEASE_BUILD" gcc g++ Release -DCMAKE_INSTALL_PREFIX=/usr
rm -rf "$KELTO_RELEASE_PREFIX"
cmake --install "$KELTO_RELEASE_BUILD" --prefix "$KELTO_RELEASE_PREFIX" >/dev/null
[ -x "$KELTO_RELEASE_PREFIX/bin/keltoctl" ] || { echo "keltoctl was not installed"; exit 1; }
echo "   installed into $KELTO_RELEASE_PREFIX"

echo "-- clang RelWithDebInfo"
build build-ci-clang clang clang++ RelWithDebInfo

echo "-- test names"
widest=$(ctest --test-dir build-ci-clang -N | sed -n 's/^ *Test *#[0-9]*: //p' |
  awk '{ if (length($0) > max) { max = length($0); name = $0 } } END { print max " " name }')
echo "   widest test name: $widest"
[ "${widest%% *}" -le 120 ] || { echo "a test name is wider than 120 characters"; exit 1; }

echo "-- the suite on the clang build"
start=$SECONDS
ctest --test-dir build-ci-clang --output-on-failure -j "$jobs" --timeout 300 \
  >build-ci-clang/ctest.log 2>&1 || { cat build-ci-clang/ctest.log; exit 1; }
grep -E 'tests passed|Total Test time' build-ci-clang/ctest.log | sed 's/^/   /'
echo "   suite ran in $((SECONDS - start)) s"
