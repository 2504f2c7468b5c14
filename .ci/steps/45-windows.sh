#!/usr/bin/env bash
# kelto.dll for 64-bit Windows, cross-compiled and tested under Wine from a
# fresh build directory: exports, imports, the Windows suite (real Windows
# processes included), the release archive and programs built from it.
# Must stay under 8 minutes.
set -euo pipefail
cd "$(dirname "$0")/../.."
start=$SECONDS
rm -rf build-ci-windows
scripts/windows-test.sh build-ci-windows
echo "windows step: $((SECONDS - start)) s"
[ $((SECONDS - start)) -le 480 ] || { echo "the Windows step took more than 8 minutes"; exit 1; }
