#!/bin/sh
# Installs what is missing and builds the helper and its tests for Windows x64.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw
