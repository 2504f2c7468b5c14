#!/usr/bin/env bash
# Builds the benchmarks and runs every one of them once, briefly, to prove
# that they still run. No timing is checked here: the figures and their
# targets are read from a full run (bench/run.sh, docs/performance.md).
# Fails when a benchmark cannot run (the binary then exits non-zero).
set -euo pipefail
cd "$(dirname "$0")/../.."
bench/run.sh --benchmark_min_time=0.001
