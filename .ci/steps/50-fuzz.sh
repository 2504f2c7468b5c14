#!/usr/bin/env bash
# Builds the definition-file fuzzer with clang (ASan + UBSan + libFuzzer),
# replays the seed corpus, then fuzzes for a bounded time. Any crash, sanitizer
# report or leak fails the step; the input that caused it is kept in
# build-fuzz/artifacts/ and printed as hex.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=build-fuzz
fuzz_seconds="${KELTO_FUZZ_SECONDS:-60}"
fuzzer="$build/kelto_definition_fuzzer"

cmake -S fuzz -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELTO_WERROR=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
cmake --build "$build" -j "$(nproc)"

work=$(mktemp -d /tmp/kelto-fuzz-corpus-XXXXXX)
artifacts="$build/artifacts"
rm -rf "$artifacts"
mkdir -p "$artifacts"
cleanup() {
  rm -rf "$work"
  # The fuzzer removes its own segment and directory on a clean exit; after a
  # crash they are left behind, under names no one else uses.
  rm -f /dev/shm/kelto-fuzz-* 2>/dev/null || true
  rm -rf /tmp/kelto-fuzz-??????
}
trap cleanup EXIT

export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

report_crash() {
  echo "fuzzer failed; inputs kept in $artifacts:" >&2
  for input in "$artifacts"/*; do
    [ -e "$input" ] || continue
    echo "== $input" >&2
    od -A d -t x1z -v "$input" | head -n 40 >&2
  done
  exit 1
}

echo "-- replaying the seed corpus"
"$fuzzer" -runs=0 -artifact_prefix="$artifacts/" fuzz/corpus || report_crash

echo "-- fuzzing for ${fuzz_seconds} s"
"$fuzzer" -max_total_time="$fuzz_seconds" -max_len=8192 -timeout=20 -rss_limit_mb=2048 \
  -dict=fuzz/kelto.dict -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" fuzz/corpus \
  || report_crash
echo "-- fuzzing found nothing"
