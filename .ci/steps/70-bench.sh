#!/usr/bin/env bash
# Builds the benchmarks and runs every one of them once, briefly, to prove
# that they still run. No timing is checked here: the figures and their
# targets are read from a full run (bench/run.sh, docs/performance.md).
# Fails when a benchmark cannot run (the binary then exits non-zero).
# The Release build of the build matrix step has the benchmarks built
# already, with the flags bench/run.sh uses: it is reused when it is there.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/release-build.sh
if [ -f "$KELTO_RELEASE_BUILD/CMakeCache.txt" ]; then
  export KELTO_BENCH_BUILD="$KELTO_RELEASE_BUILD"
fi
bench/run.sh --benchmark_min_time=0.001
bench/wake.sh --quick
# Record and replay, a second per scenario (the 10,000-variable idle one
# spends its time making the file, and is left to full runs).
bench/recording.sh --seconds 1 --only counters,flood,replay
