#!/usr/bin/env bash
# Installs what is missing, builds kelto and runs every test.
# Usage: scripts/test.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
./scripts/install-deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELTO_WERROR=ON \
  -DPython3_EXECUTABLE=/usr/bin/python3
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
