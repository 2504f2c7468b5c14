#!/usr/bin/env bash
# The test command of the README: build everything and run the whole suite.
set -euo pipefail
./scripts/test.sh
