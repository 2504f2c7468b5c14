#!/usr/bin/env bash
# keltoctl record and replay against their targets (bench/recording_bench.py):
#   bench/recording.sh                       # every scenario, 30 s each
#   bench/recording.sh --seconds 5 --only counters,replay
# Configures a Release build in build-bench (or $KELTO_BENCH_BUILD) with the
# tools, builds keltoctl and the writer, and runs the scenarios. Needs HDF5,
# h5py and numpy (Debian: libhdf5-dev python3-h5py python3-numpy).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${KELTO_BENCH_BUILD:-build-bench}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELTO_BUILD_BENCH=ON -DKELTO_WERROR=ON \
  -DKELTO_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" -j 2 --target keltoctl kelto_recording_writer
exec /usr/bin/python3 bench/recording_bench.py --build "$build" "$@"
