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
# and the change log model (src/changes/change_log.pml), also exhaustively,
# with kills at every step unless said otherwise:
#   ring      entries, lane and ring overflow, duplicates from killed
#             drainers, with timeouts and kills between the sleepers
#             exchange and the wake-up; one waiter, then two;
#   wakeup    no sleeper left with a complete change when all is quiet: one
#             waiter with both writers, two with one lane mark and the
#             lane-less writer, two with three lane marks (a lane overrun);
#   read      every change due to a waiter is read (weak fairness): one
#             waiter, two (one of them killable), and one with timeouts
#             under every writer kill (two waiters with timeouts would let
#             one starve the other of the unfair drain lock);
#   back-off  ring, wakeup and read with one waiter, the lane-less writer
#             dropping marks with the lock free after a give-up;
#   store-buffer  wakeup and read with the lane writer's look at the sleepers
#             flag overtaking its store of the lane head (lane-less writer
#             left out, which keeps the searches within memory): a nap
#             without a membarrier, then fenced sleeps;
#   mutants   each must fail: the sleepers flag set after the last look
#             (both checks), drained moved before the marks are appended,
#             the overwrite recheck by "more than" a lane, the last look
#             at the ring head before the lanes, and with the store buffer
#             a sleep without a membarrier that does not end by itself; and
#             the documented
#             limitation, a writer killed between the exchange and the wake
#             without timeouts, must still show.
set -euo pipefail
model="$(pwd)/src/table/unix/segment_protocol.pml"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Each search is single-threaded: as many run at once as there are cores,
# each in a folder of its own, and their reports are printed in order.
searches=()
# search FUNCTION LABEL ARGS...: starts one search once a core is free.
search() {
  local label="$2"
  while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n || true; done
  searches+=("$label")
  (
    set +e
    (set -e; "$@") >"$work/$label.out" 2>&1
    echo $? >"$work/$label.status"
  ) &
}

# check LABEL "CC-FLAGS" "PAN-FLAGS" [SPIN-FLAGS...]
check() {
  local label="$1" cflags="$2" panflags="$3"
  shift 3
  (
    mkdir -p "$work/$label" && cd "$work/$label"
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
search check "safety" "-DSAFETY -DCOLLAPSE" "" -DLIVES=1 -DP2_CALLS=1
search check "liveness" "-DCOLLAPSE" "-a -f" -DLIVENESS -DLIVES=1 -DP0_CALLS=2 -DP2_CALLS=1
search check "removal" "-DSAFETY -DCOLLAPSE" "" -DREMOVER -DP0_CALLS=2 -DP1_CALLS=1 -DP2_CALLS=1 -DLIVES=0
search check "gate" "-DSAFETY -DCOLLAPSE" "" -DSPLIT_GATE -DP0_CALLS=3 -DP1_CALLS=2 -DP2_CALLS=0 -DLIVES=0

changes="$(pwd)/src/changes/change_log.pml"
# changes LABEL pass|fail "CC-FLAGS" "PAN-FLAGS" [SPIN-FLAGS...]: "pass"
# must complete within its memory with no error; "fail" expects a violation
# (a mutation, or the documented limitation).
changes() {
  local label="$1" expect="$2" cflags="$3" panflags="$4"
  shift 4
  (
    mkdir -p "$work/$label" && cd "$work/$label"
    spin "$@" -a "$changes" >/dev/null
    # shellcheck disable=SC2086
    gcc -O2 -w -DMEMLIM=2048 $cflags -o pan pan.c
    start=$(date +%s)
    # shellcheck disable=SC2086
    timeout 300 ./pan -m20000 $panflags >result.txt 2>&1 || true
    grep -E 'states, stored|errors:' result.txt | sed "s/^/  [$label] /"
    echo "  [$label] $(($(date +%s) - start)) s"
    if [ "$expect" = pass ] &&
       grep -qE 'Search not completed|max search depth too small|out of memory|MEMLIM' result.txt; then
      cat result.txt
      echo "model check incomplete: $label"
      exit 1
    fi
    if [ "$expect" = pass ] && { ! grep -q 'errors: 0' result.txt || ls ./*.trail >/dev/null 2>&1; }; then
      cat result.txt
      echo "model check failed: $label"
      exit 1
    fi
    if [ "$expect" = fail ] && ! grep -qE 'errors: [1-9]' result.txt; then
      cat result.txt
      echo "model check missed the broken variant: $label"
      exit 1
    fi
  )
}

# COLLAPSE compresses the stored states losslessly; the search stays exact.
search changes "ring" pass "-DSAFETY -DCOLLAPSE" "" -DTIMEOUTS -DWAKE_KILLS -DWAITERS=1
search changes "ring-two" pass "-DSAFETY -DCOLLAPSE" "" -DTIMEOUTS -DWAKE_KILLS -DLANE_MARKS=2 -DLANELESS_MARKS=0
search changes "wakeup" pass "-DSAFETY -DCOLLAPSE" "" -DQUIET -DWAITERS=1
search changes "wakeup-two" pass "-DSAFETY -DCOLLAPSE" "" -DQUIET -DLANE_MARKS=1
search changes "ring-back-off" pass "-DSAFETY -DCOLLAPSE" "" -DTIMEOUTS -DWAKE_KILLS -DWAITERS=1 -DBACK_OFF
search changes "wakeup-back-off" pass "-DSAFETY -DCOLLAPSE" "" -DQUIET -DWAITERS=1 -DBACK_OFF
search changes "wakeup-lanes" pass "-DSAFETY -DCOLLAPSE" "" -DQUIET -DLANELESS_MARKS=0
search changes "read" pass "-DCOLLAPSE" "-a -f" -DLIVENESS -DWAITERS=1
search changes "read-two" pass "-DCOLLAPSE" "-a -f" -DLIVENESS -DLANE_MARKS=1 -DKILLABLE_WAITERS=1
search changes "read-lanes" pass "-DCOLLAPSE" "-a -f" -DLIVENESS -DLANE_MARKS=2 -DLANELESS_MARKS=0 -DKILLABLE_WAITERS=1
search changes "read-back-off" pass "-DCOLLAPSE" "-a -f" -DLIVENESS -DWAITERS=1 -DBACK_OFF
search changes "read-timeouts" pass "-DCOLLAPSE" "-a -f" -DLIVENESS -DTIMEOUTS -DWAKE_KILLS -DWAITERS=1
search changes "wakeup-store-buffer" pass "-DSAFETY -DCOLLAPSE" "" -DQUIET -DWAITERS=1 -DSTORE_BUFFER
search changes "wakeup-two-store-buffer" pass "-DSAFETY -DCOLLAPSE" "" -DQUIET -DLANE_MARKS=2 -DLANELESS_MARKS=0 -DSTORE_BUFFER
search changes "read-store-buffer" pass "-DCOLLAPSE" "-a -f" -DLIVENESS -DWAITERS=1 -DLANELESS_MARKS=0 -DSTORE_BUFFER
search changes "mutant-wakeup" fail "-DSAFETY" "" -DQUIET -DWAITERS=1 -DLOST_WAKEUP
search changes "mutant-read" fail "" "-a -f" -DLIVENESS -DWAITERS=1 -DLOST_WAKEUP
search changes "mutant-drain-early" fail "-DSAFETY" "" -DQUIET -DLANE_MARKS=1 -DDRAIN_EARLY
search changes "mutant-recheck" fail "-DSAFETY" "" -DTIMEOUTS -DWAITERS=1 -DRECHECK_GT
search changes "mutant-ring-head-first" fail "-DSAFETY" "" -DQUIET -DLANE_MARKS=1 -DRING_HEAD_FIRST
search changes "mutant-no-membarrier" fail "-DSAFETY" "" -DQUIET -DWAITERS=1 -DSTORE_BUFFER -DNO_MEMBARRIER
search changes "wake-kills-no-timeouts" fail "-DSAFETY" "" -DQUIET -DWAITERS=1 -DWAKE_KILLS
wait
failed=0
for label in "${searches[@]}"; do
  cat "$work/$label.out"
  [ "$(cat "$work/$label.status" 2>/dev/null)" = 0 ] || failed=1
done
[ "$failed" = 0 ] || exit 1
echo "model check passed"
