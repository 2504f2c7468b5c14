#!/usr/bin/env bash
# Builds the wake-up benchmark in Release mode and runs it: kelto_live_wait
# between two processes beside a raw futex ping-pong, then a waiter on a
# table of 100,000 variables. Arguments go to the program (--quick,
# --round-trips N, --seconds S, --repetitions R). The build directory is
# build-bench, or $KELTO_BENCH_BUILD when it is set.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${KELTO_BENCH_BUILD:-build-bench}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELTO_BUILD_BENCH=ON -DKELTO_WERROR=ON \
  -DKELTO_BUILD_TESTS=OFF -DKELTO_BUILD_TOOLS=OFF -DKELTO_BUILD_EXAMPLES=OFF >/dev/null
if ! cmake --build "$build" --target help | grep kelto_wake_bench >/dev/null; then
  echo "bench/wake.sh: Google Benchmark is missing (Debian: libbenchmark-dev)" >&2
  exit 1
fi
cmake --build "$build" -j 2 --target kelto_wake_bench
exec "$build/bench/kelto_wake_bench" "$@"
