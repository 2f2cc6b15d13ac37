#!/bin/sh
# Installs what is missing, builds, and runs the helper under Wine with the arguments given:
#   scripts/run.sh clean 'C:\Tarnwell'
#   scripts/run.sh --answers no,ignore clean 'C:\Tarnwell'
# It runs in its own sandboxed prefix, build/mingw/run-prefix (C:\ is its drive_c folder).
# Every box the helper shows is printed here: caption, text, buttons. With a display, the box
# appears there, and someone at a terminal answers it there. Without one, the helper runs on
# an X server of its own. Each question takes the next of the --answers, else a line read
# here (a button's name or its first letter). With neither left, the button that ends the
# question (Cancel or Abort) is pressed, and the output says so. A box with OK alone is
# answered OK.
# The helper's trace goes to standard error; its exit code is printed last.
set -eu
cd "$(dirname "$0")/.."
answers=""
case ${1:-} in
  --answers) answers=${2:-}; shift 2 ;;
  --answers=*) answers=${1#--answers=}; shift ;;
esac
# QEL_RUN_BUILT=1: the build is done already (a test of this script, run from the build).
[ -n "${QEL_RUN_BUILT:-}" ] || scripts/build.sh >/dev/null
# The console tool starts the helper from the build tree, which is drive T: of the prefix.
tool=build/mingw/tools/qel_console_boxes.exe
set -- ${answers:+--answers "$answers"} 'T:\QelInstallHelper.exe' "$@"
export WINEDEBUG=-all,warn+seh QEL_DIRECT_OUTPUT=1
status=0
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  # Someone at a terminal answers on the screen; a run without one never waits for that.
  [ -t 0 ] && set -- --on-screen "$@"
  QEL_KEEP_DISPLAY=1 scripts/wine-run.sh --prefix build/mingw/run-prefix "$tool" "$@" 2>build/mingw/run.log || status=$?
else
  # An X server for this run alone; the prefix's processes end with it.
  QEL_SESSION_NAME=run sh tests/acceptance/session.sh run build/mingw "$tool" "$@" 2>build/mingw/run.log || status=$?
fi
# Wine echoes each debugger line, escaped, on its diagnostics channel.
sed -n 's/^[0-9a-f]*:warn:seh:OutputDebugStringA "\(.*\)"$/\1/p' build/mingw/run.log | sed 's/\\\\/\\/g' >&2
echo "exit code: $status"
