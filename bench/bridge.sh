#!/usr/bin/env bash
# Builds kelto-bridge and its benchmark in Release mode and runs it: a broker
# of its own on a loopback port, two tables, two bridges. Prints the broker's
# floor beside the bridge's figures from the same run. The build directory
# is build-bench-bridge, or $KELTO_BENCH_BUILD when it is set.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${KELTO_BENCH_BUILD:-build-bench-bridge}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELTO_BUILD_BENCH=ON \
  -DKELTO_BUILD_TESTS=ON -DKELTO_BUILD_TOOLS=ON -DKELTO_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j 2 --target kelto_bridge_bench
exec "$build/bench/kelto_bridge_bench" "$@"
