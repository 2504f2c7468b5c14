#!/usr/bin/env bash
# Install kelto into a temporary prefix and build and run two separate
# projects against it: one through find_package(kelto), one through pkg-config.
set -euo pipefail
bash tests/consumers/run.sh
