#!/usr/bin/env bash
# Builds and runs two separate projects against an installed kelto: one
# through find_package(kelto), one through pkg-config. The install is the
# Release build of the build matrix step when it is there; otherwise kelto is
# built and installed into a temporary prefix first.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/release-build.sh
if [ -x "$KELTO_RELEASE_PREFIX/bin/keltoctl" ]; then
  bash tests/consumers/run.sh "$KELTO_RELEASE_PREFIX"
else
  bash tests/consumers/run.sh
fi
