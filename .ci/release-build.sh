# Sourced by the CI steps that share the Release build of the build matrix
# (.ci/steps/10-build-matrix.sh): the build directory (relative to the
# repository, where the steps run) and the absolute prefix it is
# installed into. Steps that find no such install build their own.
KELTO_RELEASE_BUILD=build-ci-release
KELTO_RELEASE_PREFIX="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/$KELTO_RELEASE_BUILD/prefix"
