#!/usr/bin/env bash
# Builds with warnings as errors in the configuration that is installed:
# g++ Release, whose -O3 finds warnings the others do not. It is installed
# into $KELTO_RELEASE_PREFIX, used by the consumer, package, benchmark and
# keltoctl steps, so it builds the library, tools, examples and benchmarks
# but not the tests, which no step runs on it.
# The other builds are each a step's own, so that none is made twice: the
# suite's (g++ RelWithDebInfo, ./scripts/test.sh), clang's (every target,
# under ThreadSanitizer) and the one that AddressSanitizer,
# UndefinedBehaviorSanitizer and coverage share (g++ Debug).
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
    -DCMAKE_CXX_COMPILER="$cxx" -DKELTO_WERROR=ON -DKELTO_BUILD_TESTS=OFF \
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
