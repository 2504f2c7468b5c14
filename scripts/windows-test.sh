#!/usr/bin/env bash
# Builds kelto.dll for 64-bit Windows with Debian's mingw-w64 and tests it
# under Wine: the Windows suite through ctest, the DLL's exports (exactly the
# 49 functions of include/kelto.h) and imports (Windows' own DLLs and the C
# runtime only), the release archive (cpack -G ZIP) and two programs built
# from that archive alone: one linked with its import library, one loading
# kelto.dll by name. Installs missing packages first.
#
#   scripts/windows-test.sh [BUILD_DIR]    (default build-windows)
#
# Wine runs in a prefix of its own in a temporary directory, without a
# display, and its one wineserver is stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
build_dir=${1:-build-windows}
scripts/install-deps.sh
scripts/install-deps.sh scripts/debian-packages-windows.txt

work=$(mktemp -d /tmp/kelto-windows-XXXXXX)
export WINEPREFIX="$work/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# One persistent wineserver for everything; the prefix is made while the
# build runs. Wine's services start with it and stay while the server lives:
# started later, by a test, they would keep that test's output pipe open and
# ctest would wait for them.
mkdir -p "$WINEPREFIX"
wineserver -p
(start=$SECONDS; wineboot -i >"$work/wineboot.log" 2>&1; echo "wine prefix: $((SECONDS - start)) s") &
prefix_job=$!

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache
                                          -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build_dir" --toolchain cmake/toolchains/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELTO_WERROR=ON "${launcher[@]}" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
wait "$prefix_job"

dll="$build_dir/bin/kelto.dll"
objdump=x86_64-w64-mingw32-objdump

echo "== exports"
expected=$(grep -oE '^KELTO_EXPORT [^(]*\(' include/kelto.h | sed -E 's/.*[ *]([A-Za-z0-9_]+)\($/\1/' | sort)
exported=$($objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -nE 's/^\s*\[ *[0-9]+\] (\S+)$/\1/p' | sort)
defined=$(sed -nE 's/^\s+([A-Za-z0-9_]+)( @[0-9]+)?$/\1/p' "$build_dir/src/kelto.def" | sort)
[ "$(echo "$expected" | wc -l)" -eq 49 ] || { echo "kelto.h does not declare 49 functions"; exit 1; }
[ "$exported" = "$expected" ] || { echo "kelto.dll exports differ from kelto.h:"; diff <(echo "$expected") <(echo "$exported"); exit 1; }
[ "$defined" = "$expected" ] || { echo "kelto.def differs from kelto.h:"; diff <(echo "$expected") <(echo "$defined"); exit 1; }
echo "kelto.dll and kelto.def: exactly the 49 functions"

echo "== imports"
imports=$($objdump -p "$dll" | sed -nE 's/^\s*DLL Name: (\S+)$/\1/p' | tr 'A-Z' 'a-z' | sort -u)
echo "$imports"
while read -r name; do
  case "$name" in
    kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*.dll | advapi32.dll | ntdll.dll) ;;
    *) echo "kelto.dll imports $name, which is not a DLL of Windows or its C runtime"; exit 1 ;;
  esac
done <<<"$imports"

echo "== Windows suite under Wine"
ctest --test-dir "$build_dir" --output-on-failure -j2 --timeout 300

echo "== release archive"
(cd "$build_dir" && cpack -G ZIP >/dev/null)
archive="$build_dir/kelto-$(sed -nE 's/^#define KELTO_VERSION "(.*)"$/\1/p' include/kelto.h)-win64.zip"
listed=$(unzip -Z1 "$archive" | grep -v '/$' | sed 's|^[^/]*/||' | sort)
wanted=$(printf '%s\n' README.md bin/kelto.dll examples/table_example.c include/kelto.h \
  lib/kelto.def lib/libkelto.dll.a | sort)
[ "$listed" = "$wanted" ] || { echo "archive holds:"; echo "$listed"; exit 1; }
unzip -q "$archive" -d "$work/archive"
root=$(echo "$work/archive"/kelto-*)
$objdump -p "$root/bin/kelto.dll" | grep -q "DLL Name: libstdc++" && { echo "runtime DLL needed"; exit 1; }
echo "archive: $(echo "$listed" | tr '\n' ' ')"

echo "== programs built from the archive alone"
consumer="$work/consumer"
mkdir -p "$consumer/table"
x86_64-w64-mingw32-gcc-posix -std=c11 -Wall -Wextra -Werror -I"$root/include" \
  "$root/examples/table_example.c" "$root/lib/libkelto.dll.a" -o "$consumer/table_example.exe"
cp "$root/bin/kelto.dll" "$build_dir/bin/dynamic_consumer.exe" "$consumer/"
printf 'SPEED=L\r\nNAME=$\r\n' >"$consumer/table/iorsh.mem"
printf 'LEVEL=D\n' >"$consumer/table/memsh.mem"
export KELTO_DIR="$consumer/table" KELTO_SEGMENT="kelto-consumer-$$"
(cd "$consumer" && wine table_example.exe)
grep -q "^quitting" "$consumer/table/kelto_log.txt"
(cd "$consumer" && wine dynamic_consumer.exe)
echo "== Windows build passed"
