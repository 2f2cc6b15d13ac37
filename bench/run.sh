#!/bin/sh
# The benchmarks of "clean" and "copy" against the platform's own tools, in one command:
#   bench/run.sh            the full run (trees of 1,000 to 100,000 files, 5 rounds each;
#                           about an hour on 2 cores), written to docs/benchmarks.md and .png,
#                           with the findings of bench/findings.md after the tables
#   bench/run.sh --quick    a smoke run on tiny trees in a few seconds, written to
#                           build/mingw/bench-quick.md and .png
# It installs what it needs, builds, builds the trees and runs every contender. Numbers
# are measurements only: nothing here fails on a number, and nothing of it runs in CI.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
missing=""
for package in gnuplot-nox python3 attr; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing="$missing $package"
done
if [ -n "$missing" ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "installing:$missing"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target qel_bench qel_trace -j2 >/dev/null

python=/usr/bin/python3
if [ "${1:-}" = --quick ]; then
  shift
  $python bench/bench.py --quick --results build/mingw/bench-quick.json "$@"
  $python bench/report.py build/mingw/bench-quick.json build/mingw/bench-quick.md build/mingw/bench-quick.png
  echo "written: build/mingw/bench-quick.md"
else
  $python bench/bench.py --results build/mingw/bench-results.json "$@"
  cp build/mingw/bench-results.json docs/benchmarks.json
  $python bench/report.py docs/benchmarks.json docs/benchmarks.md docs/benchmarks.png --notes bench/findings.md
  echo "written: docs/benchmarks.md, docs/benchmarks.png"
fi
