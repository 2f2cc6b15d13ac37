#!/bin/sh
# Installs what is missing, builds, and runs the helper under Wine with the arguments given:
#   scripts/run.sh clean 'C:\Tarnwell'
# It runs in its own sandboxed prefix, build/mingw/run-prefix (C:\ is its drive_c folder).
# The helper's trace goes to standard error; its exit code is printed last.
set -eu
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
status=0
QEL_KEEP_DISPLAY=1 WINEDEBUG=-all,warn+seh \
  scripts/wine-run.sh --prefix build/mingw/run-prefix build/mingw/QelInstallHelper.exe "$@" 2>build/mingw/run.log || status=$?
# Wine echoes each debugger line, escaped, on its diagnostics channel.
sed -n 's/^[0-9a-f]*:warn:seh:OutputDebugStringA "\(.*\)"$/\1/p' build/mingw/run.log | sed 's/\\\\/\\/g' >&2
echo "exit code: $status"
