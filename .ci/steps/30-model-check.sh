#!/usr/bin/env bash
# Checks the segment lifetime protocol model (src/table/unix/segment_protocol.pml)
# with spin, exhaustively:
#   safety    every assertion and invalid end state, with kills at every step
#             and a process stopped inside the gate (the third process only
#             opens, which keeps the search within memory);
#   liveness  the others still finish all their calls (acceptance cycles,
#             weak fairness);
#   removal   the files removed under the running table (smaller, no kills);
#   gate      the lock file removed by the last holder between another
#             process's open and lock of it (open and lock as two steps).
set -euo pipefail
model="$(pwd)/src/table/unix/segment_protocol.pml"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# check LABEL "CC-FLAGS" "PAN-FLAGS" [SPIN-FLAGS...]
check() {
  local label="$1" cflags="$2" panflags="$3"
  shift 3
  (
    cd "$work"
    rm -f pan pan.* ./*.trail
    spin "$@" -a "$model" >/dev/null
    # shellcheck disable=SC2086
    gcc -O2 -w -DMEMLIM=4096 $cflags -o pan pan.c
    # shellcheck disable=SC2086
    ./pan -m20000 $panflags >result.txt 2>&1 || true
    grep -E 'states, stored|errors:' result.txt | sed "s/^/  [$label] /"
    if ! grep -q 'errors: 0' result.txt || ls ./*.trail >/dev/null 2>&1 ||
       grep -qE 'max search depth too small|out of memory|MEMLIM bound|Search not completed' \
         result.txt; then
      cat result.txt
      echo "model check failed: $label"
      exit 1
    fi
  )
}

# COLLAPSE compresses the stored states losslessly; the search stays exact.
check "safety" "-DSAFETY -DCOLLAPSE" "" -DLIVES=1 -DP2_CALLS=1
check "liveness" "-DCOLLAPSE" "-a -f" -DLIVENESS -DLIVES=1 -DP0_CALLS=2 -DP2_CALLS=1
check "removal" "-DSAFETY -DCOLLAPSE" "" -DREMOVER -DP0_CALLS=2 -DP1_CALLS=1 -DP2_CALLS=1 -DLIVES=0
check "gate" "-DSAFETY -DCOLLAPSE" "" -DSPLIT_GATE -DP0_CALLS=3 -DP1_CALLS=2 -DP2_CALLS=0 -DLIVES=0
echo "model check passed"
