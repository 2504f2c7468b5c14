#!/usr/bin/env bash
# Installs what is missing, builds kelto and runs the demo: one process writes
# live values, another reads and prints them. Uses the sample definition files
# of examples/ in a temporary directory and a segment of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
./scripts/install-deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELTO_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target kelto_demo

export KELTO_DIR
KELTO_DIR=$(mktemp -d)
export KELTO_SEGMENT="kelto-demo-$$"
trap 'rm -rf "$KELTO_DIR" "/dev/shm/$KELTO_SEGMENT.lock"' EXIT
cp examples/iorsh.mem examples/memsh.mem "$KELTO_DIR/"

"$build/examples/kelto_demo" writer 40 &
writer=$!
sleep 0.3
"$build/examples/kelto_demo" reader 15
wait "$writer"
echo "log of the last process to open: $KELTO_DIR/kelto_log.txt"
cat "$KELTO_DIR/kelto_log.txt"
