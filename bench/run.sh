#!/usr/bin/env bash
# Builds the benchmarks in Release mode and runs them. Arguments go to the
# benchmark binary, for example --benchmark_filter='^name/1000/' or
# --benchmark_repetitions=5. The build directory is build-bench, or
# $KELTO_BENCH_BUILD when it is set.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${KELTO_BENCH_BUILD:-build-bench}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELTO_BUILD_BENCH=ON -DKELTO_WERROR=ON \
  -DKELTO_BUILD_TESTS=OFF -DKELTO_BUILD_TOOLS=OFF -DKELTO_BUILD_EXAMPLES=OFF >/dev/null
if ! cmake --build "$build" --target help | grep kelto_bench >/dev/null; then
  echo "bench/run.sh: Google Benchmark is missing (Debian: libbenchmark-dev)" >&2
  exit 1
fi
cmake --build "$build" -j 2 --target kelto_bench
exec "$build/bench/kelto_bench" "$@"
