#!/usr/bin/env bash
# Drives an installed keltoctl (the Release install of the build matrix step,
# or its own install into a temporary prefix) from a shell against a table
# that another process holds: the exit statuses, a set that the holder sees,
# an untouched log, and a segment that goes away with its last holder.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
jobs="${KELTO_JOBS:-2}"

work="$(mktemp -d /tmp/kelto-keltoctl-ci-XXXXXX)"
segment="kelto-keltoctl-ci-$$"
holder_pid=""
cleanup() {
  if [ -n "$holder_pid" ]; then kill "$holder_pid" 2>/dev/null || true; fi
  rm -rf "$work"
  rm -f "/dev/shm/$segment" "/dev/shm/$segment.lock"
}
trap cleanup EXIT
fail() {
  echo "keltoctl step: $*" >&2
  exit 1
}

source "$root/.ci/release-build.sh"
release_prefix="$KELTO_RELEASE_PREFIX"
if [ -x "$release_prefix/bin/keltoctl" ]; then
  echo "-- using the Release install of the build matrix step"
  prefix="$release_prefix"
else
  echo "-- building and installing kelto with keltoctl"
  prefix="$work/prefix"
  cmake -S "$root" -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELTO_WERROR=ON \
    -DKELTO_BUILD_TESTS=OFF -DKELTO_BUILD_BENCH=OFF -DKELTO_BUILD_EXAMPLES=OFF \
    >"$work/configure.log" || { cat "$work/configure.log"; fail "configuring failed"; }
  cmake --build "$work/build" -j "$jobs" >"$work/build.log" ||
    { cat "$work/build.log"; fail "building failed"; }
  cmake --install "$work/build" --prefix "$prefix" >"$work/install.log" ||
    { cat "$work/install.log"; fail "installing failed"; }
fi
keltoctl="$prefix/bin/keltoctl"
[ -x "$keltoctl" ] || fail "no bin/keltoctl installed"
[ "$("$keltoctl" --version)" = "2.0.0" ] || fail "--version does not print 2.0.0"
libdir="$(dirname "$(find "$prefix" -name 'libkelto.so' | head -n 1)")"

# A program that holds the table until its standard input closes.
cat >"$work/holder.c" <<'C'
#include <kelto.h>
#include <stdio.h>
int main(void) {
  KeltoOpen();
  KeltoWriteInt32("IORSH_SPEED", 1500);
  KeltoWriteString("MEMSH_STATUS", "running");
  fputs("ready\n", stderr);
  while (getchar() != EOF) {}
  KeltoClose();
  return 0;
}
C
cc -I"$prefix/include" "$work/holder.c" -L"$libdir" -lkelto -Wl,-rpath,"$libdir" \
  -o "$work/holder"

export KELTO_DIR="$work/table" KELTO_SEGMENT="$segment"
mkdir -p "$KELTO_DIR"
printf 'SPEED=L\nGEAR=B\n' >"$KELTO_DIR/iorsh.mem"
printf 'STATUS=$\n' >"$KELTO_DIR/memsh.mem"

expect_status() {
  local want="$1"
  shift
  local got=0
  "$keltoctl" "$@" >"$work/out" 2>"$work/err" || got=$?
  [ "$got" = "$want" ] || { cat "$work/err"; fail "keltoctl $* exited $got, not $want"; }
}

echo "-- no live table"
expect_status 4 list
[ ! -e "/dev/shm/$segment" ] || fail "keltoctl created the segment"

echo "-- against a live table"
mkfifo "$work/holder-input"
"$work/holder" <"$work/holder-input" 2>"$work/holder-ready" &
holder_pid=$!
exec 3>"$work/holder-input"
for _ in $(seq 100); do
  grep -q ready "$work/holder-ready" && break
  sleep 0.1
done
grep -q ready "$work/holder-ready" || fail "the holder did not open the table"
cp "$KELTO_DIR/kelto_log.txt" "$work/log-before"

expect_status 0 get IORSH_SPEED
[ "$(cat "$work/out")" = "1500" ] || fail "get printed $(cat "$work/out")"
expect_status 0 set IORSH_GEAR 4
expect_status 0 get IORSH_GEAR MEMSH_STATUS
[ "$(cat "$work/out")" = "$(printf '4\nrunning')" ] || fail "get after set printed $(cat "$work/out")"
expect_status 0 list --json 'IORSH_*'
grep -q '"name": "IORSH_GEAR", "type": "B", "size": 1, "value": 4' "$work/out" ||
  fail "list --json lacks the new value"
expect_status 1 get IORSH_NOPE
expect_status 2 set IORSH_GEAR
expect_status 3 set IORSH_GEAR 256
# The first refresh comes at once, the second after a change.
"$keltoctl" watch --count 2 --interval 0.05 >"$work/watch-out" 2>&1 &
watch_pid=$!
sleep 0.3
expect_status 0 set IORSH_SPEED 1501
for _ in $(seq 50); do kill -0 "$watch_pid" 2>/dev/null || break; sleep 0.1; done
kill "$watch_pid" 2>/dev/null && fail "watch --count 2 did not end after a change"
wait "$watch_pid" || fail "watch --count 2 exited $?"
grep -q '(refresh 2)' "$work/watch-out" || fail "watch did not refresh after a change"
# A reader that goes away ends a watch cleanly.
timeout 10 "$keltoctl" watch | head -n 1 >"$work/out" || fail "watch | head -1 did not end cleanly"
grep -q '(refresh 1)' "$work/out" || fail "watch | head -1 printed $(cat "$work/out")"
cmp -s "$KELTO_DIR/kelto_log.txt" "$work/log-before" || fail "keltoctl changed the log"

echo "-- after the holder closed"
exec 3>&-
wait "$holder_pid"
holder_pid=""
[ ! -e "/dev/shm/$segment" ] || fail "the segment outlived its last holder"
expect_status 4 get IORSH_SPEED
echo "-- keltoctl works from an installed prefix"
