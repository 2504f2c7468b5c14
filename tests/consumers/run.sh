#!/usr/bin/env bash
# Installs kelto into a temporary prefix, checks what was installed, then
# builds the two consumer projects against it, one through find_package(kelto)
# and one through pkg-config, and runs both. Exits non-zero on any failure.
# Usage: tests/consumers/run.sh  (from anywhere; needs cmake, make, a C
# compiler, pkg-config and readelf)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
jobs="${KELTO_JOBS:-2}"

work="$(mktemp -d /tmp/kelto-consumers-XXXXXX)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

fail() {
  echo "consumers: $*" >&2
  exit 1
}

echo "-- building and installing kelto into $prefix"
cmake -S "$root" -B "$work/kelto" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKELTO_BUILD_TESTS=OFF -DKELTO_BUILD_BENCH=OFF -DKELTO_BUILD_TOOLS=OFF \
  -DKELTO_BUILD_EXAMPLES=OFF >"$work/kelto-configure.log" ||
  { cat "$work/kelto-configure.log"; fail "configuring kelto failed"; }
cmake --build "$work/kelto" -j "$jobs" >"$work/kelto-build.log" ||
  { cat "$work/kelto-build.log"; fail "building kelto failed"; }
cmake --install "$work/kelto" --prefix "$prefix" >"$work/kelto-install.log" ||
  { cat "$work/kelto-install.log"; fail "installing kelto failed"; }

echo "-- checking the installed files"
pc_file="$(find "$prefix" -name kelto.pc -path '*/pkgconfig/*' | head -n 1)"
[ -n "$pc_file" ] || fail "no kelto.pc installed"
libdir="$(dirname "$(dirname "$pc_file")")"
[ -f "$prefix/include/kelto.h" ] || fail "no include/kelto.h installed"
[ -f "$libdir/libkelto.so.2.0.0" ] || fail "no libkelto.so.2.0.0 in $libdir"
[ "$(readlink "$libdir/libkelto.so.2")" = "libkelto.so.2.0.0" ] ||
  fail "libkelto.so.2 does not point to libkelto.so.2.0.0"
[ "$(readlink "$libdir/libkelto.so")" = "libkelto.so.2" ] ||
  fail "libkelto.so does not point to libkelto.so.2"
readelf -d "$libdir/libkelto.so.2.0.0" | grep -q 'Library soname: \[libkelto\.so\.2\]' ||
  fail "the SONAME is not libkelto.so.2"
[ -f "$prefix/include/kelto_live.h" ] || fail "no include/kelto_live.h installed"
[ -f "$libdir/libkelto_live.so.2.0.0" ] || fail "no libkelto_live.so.2.0.0 in $libdir"
[ -f "$libdir/pkgconfig/kelto-live.pc" ] || fail "no kelto-live.pc installed"
[ "$(nm -D --defined-only "$libdir/libkelto_live.so.2.0.0" | awk '{print $3}' | grep -cv '^kelto_live_')" = 0 ] ||
  fail "libkelto_live.so exports more than kelto_live_* functions"
[ -f "$libdir/cmake/kelto/keltoConfig.cmake" ] || fail "no keltoConfig.cmake installed"
[ -f "$libdir/cmake/kelto/keltoConfigVersion.cmake" ] || fail "no keltoConfigVersion.cmake"

echo "-- consumer through find_package(kelto)"
cmake -S "$here/find_package" -B "$work/find_package" -DCMAKE_PREFIX_PATH="$prefix" \
  >"$work/find_package-configure.log" ||
  { cat "$work/find_package-configure.log"; fail "find_package(kelto) failed"; }
cmake --build "$work/find_package" >"$work/find_package-build.log" ||
  { cat "$work/find_package-build.log"; fail "building the find_package consumer failed"; }
readelf -d "$work/find_package/round_trip" | grep -q 'Shared library: \[libkelto_live\.so\.2\]' ||
  fail "the find_package consumer does not load libkelto_live.so.2"
readelf -d "$work/find_package/round_trip" | grep -q 'Shared library: \[libkelto\.so\.2\]' ||
  fail "the find_package consumer does not load libkelto.so.2"
"$work/find_package/round_trip" || fail "the find_package consumer failed"

# The package accepts the same major version only.
if cmake -S "$here/find_package" -B "$work/find_package-3" -DCMAKE_PREFIX_PATH="$prefix" \
  -DKELTO_WANTED_VERSION=3 >"$work/find_package-3.log" 2>&1; then
  fail "find_package(kelto 3) accepted version 2.0.0"
fi

echo "-- consumer through pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --modversion kelto)" = "2.0.0" ] || fail "pkg-config reports another version"
echo "   pkg-config --cflags --libs kelto: $(pkg-config --cflags --libs kelto)"
mkdir -p "$work/pkg_config"
make -s -C "$here/pkg_config" OUT="$work/pkg_config" ||
  fail "building the pkg-config consumer failed"
LD_LIBRARY_PATH="$(pkg-config --variable=libdir kelto)" "$work/pkg_config/round_trip" ||
  fail "the pkg-config consumer failed"

echo "-- both consumers built and ran against the installed kelto"
