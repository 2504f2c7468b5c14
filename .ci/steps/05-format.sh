#!/usr/bin/env bash
# Every C and C++ source follows .clang-format.
set -euo pipefail
cd "$(dirname "$0")/../.."
git ls-files -z '*.c' '*.cc' '*.h' | xargs -0 clang-format --dry-run --Werror
echo "formatting ok"
