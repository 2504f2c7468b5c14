#!/usr/bin/env bash
# Makes the Debian package from the Release build of the build matrix step
# (cpack -G DEB), checks its name, version, dependencies and contents,
# installs it with apt-get, builds and runs the consumer projects against the
# system copy in /usr, and removes the package again, also when a check fails.
# Needs root (or sudo) for apt-get.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/release-build.sh
build="$KELTO_RELEASE_BUILD"
[ -f "$build/CPackConfig.cmake" ] || { echo "no Release build: run 10-build-matrix.sh first"; exit 1; }

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if dpkg-query -W -f='${Status}' kelto 2>/dev/null | grep -q " installed"; then
  echo "a kelto package is installed already; this step would replace and remove it" >&2
  exit 1
fi

fail() {
  echo "debian package: $*" >&2
  exit 1
}

echo "-- cpack -G DEB"
rm -f "$build"/kelto_*.deb
(cd "$build" && cpack -G DEB >cpack.log 2>&1) || { cat "$build/cpack.log"; fail "cpack failed"; }
deb="$(ls "$build"/kelto_*.deb)"
echo "   $(basename "$deb")"
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = kelto ] || fail "the package is called $(field Package)"
[ "$(field Version)" = "2.0.0-1" ] || fail "the version is $(field Version)"
echo "   Depends: $(field Depends)"
for needed in libc6 libstdc++6; do
  field Depends | grep -q "$needed" || fail "Depends lacks $needed"
done
dpkg-deb --contents "$deb" >"$build/deb-contents.txt"
for file in /usr/include/kelto.h libkelto.so.2.0.0 /cmake/kelto/keltoConfig.cmake \
  /pkgconfig/kelto.pc /usr/bin/keltoctl; do
  grep -q "$file" "$build/deb-contents.txt" || fail "the package lacks $file"
done
if grep -q "$(realpath "$build")" "$build/deb-contents.txt"; then
  fail "the package holds paths of the build directory"
fi

echo "-- apt-get install"
# The package has maintainer scripts (the ldconfig trigger), so dpkg keeps a
# record of it after remove; the purge drops that record too.
remove() {
  $sudo apt-get remove -y -qq kelto >/dev/null
  $sudo dpkg --purge kelto >/dev/null
}
trap remove EXIT
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get install -y -qq "$(realpath "$deb")" >/dev/null
[ "$(/usr/bin/keltoctl --version)" = "2.0.0" ] || fail "the installed keltoctl does not run"

echo "-- the consumers against the system copy"
bash tests/consumers/run.sh /usr

echo "-- apt-get remove"
trap - EXIT
remove
[ ! -e /usr/bin/keltoctl ] || fail "removing the package left /usr/bin/keltoctl"
ls /usr/lib/*/libkelto.so* /usr/lib/libkelto.so* >/dev/null 2>&1 &&
  fail "removing the package left libkelto.so"
echo "-- the package installs, works and removes cleanly"
