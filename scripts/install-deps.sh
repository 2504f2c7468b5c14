#!/usr/bin/env bash
# Installs the Debian packages of a list (scripts/debian-packages.txt unless
# another list is named) that the machine lacks. Needs root (or sudo) only
# when something is missing.
#   scripts/install-deps.sh [LIST]
set -euo pipefail
cd "$(dirname "$0")/.."
list="${1:-scripts/debian-packages.txt}"
packages=$(grep -v -E '^\s*(#|$)' "$list" | tr '\n' ' ')
missing=""
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing="$missing $package"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends $missing
