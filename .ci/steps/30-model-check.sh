#!/usr/bin/env bash
# Checks the segment lifetime protocol model (src/table/unix/segment_protocol.pml)
# with spin: exhaustive search, every assertion and invalid end state.
# Two runs: kills at every step with a process stopped inside the gate, and
# a removal of the files under the running table (smaller, without kills).
set -euo pipefail
model="$(pwd)/src/table/unix/segment_protocol.pml"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

check() {
  local label="$1"
  shift
  (
    cd "$work"
    rm -f pan pan.* ./*.trail
    spin "$@" -a "$model" >/dev/null
    gcc -O2 -w -DSAFETY -DMEMLIM=4096 -o pan pan.c
    ./pan -m20000 >result.txt 2>&1 || true
    grep -E 'states, stored|errors:' result.txt | sed "s/^/  [$label] /"
    if ! grep -q 'errors: 0' result.txt || ls ./*.trail >/dev/null 2>&1 ||
       grep -qE 'max search depth too small|out of memory' result.txt; then
      cat result.txt
      echo "model check failed: $label"
      exit 1
    fi
  )
}

check "kills and a stopped process" -DLIVES=1
check "files removed under the table" -DREMOVER -DP0_CALLS=2 -DP1_CALLS=1 -DP2_CALLS=1 -DLIVES=0
echo "model check passed"
