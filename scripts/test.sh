#!/bin/sh
# Installs what is missing, builds, and runs the whole test suite under Wine.
set -eu
cd "$(dirname "$0")/.."
scripts/build.sh
ctest --preset mingw "$@"
