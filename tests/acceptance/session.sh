#!/bin/sh
# The frame of the acceptance suite: an X display for the helper's real message boxes, and a
# Wine prefix of its own, sandboxed like every prefix of the build (scripts/wine-run.sh).
#
#   session.sh start <build dir>   before the suite: a display (Xvfb when there is none) and
#                                  a fresh prefix
#   session.sh stop <build dir>    after it: the prefix's Wine processes and that Xvfb end
#   session.sh run <build dir> program.exe [arguments...]
#                                  runs a program in the prefix on that display; without a
#                                  session it starts an Xvfb of its own for this one run
set -eu
action=$1
build=$(cd "$2" && pwd)
shift 2
root=$(cd "$(dirname "$0")/../.." && pwd)
name=${QEL_SESSION_NAME:-acceptance}
prefix=$build/$name-prefix
state=$build/$name-session
mkdir -p "$state"

display_alive() {
  [ -n "$1" ] && xdpyinfo -display "$1" >/dev/null 2>&1
}

# Starts Xvfb on a free display; prints the display, and writes the server's id to $1.
start_xvfb() {
  rm -f "$1.display"
  Xvfb -displayfd 9 -screen 0 1280x1024x24 -nolisten tcp 9>"$1.display" >/dev/null 2>&1 &
  echo $! >"$1"
  waited=0
  while [ ! -s "$1.display" ] && [ $waited -lt 100 ]; do sleep 0.1; waited=$((waited + 1)); done
  [ -s "$1.display" ] || { echo "Xvfb did not start" >&2; exit 1; }
  echo ":$(cat "$1.display")"
  rm -f "$1.display"
}

stop_pid_file() {
  if [ -f "$1" ]; then
    kill "$(cat "$1")" 2>/dev/null || true
    rm -f "$1"
  fi
}

wineserver_stop() {
  WINEPREFIX="$prefix" HOME="$prefix.home" /usr/lib/wine/wineserver -k 2>/dev/null || true
  WINEPREFIX="$prefix" HOME="$prefix.home" /usr/lib/wine/wineserver -w 2>/dev/null || true
}

# Xvfb has no window manager: Wine then manages its windows itself (a managed window waits two
# seconds for a window manager when it closes) and draws their frames; its own fonts give the
# boxes their usual look, the close button's glyph included. The prefix's system processes
# start here, on the display given, and serve every program of the session.
prepare_prefix() {
  [ -f "$prefix/.acceptance" ] && return 0
  for setting in Managed Decorated; do
    DISPLAY=$1 QEL_KEEP_DISPLAY=1 "$root/scripts/wine-run.sh" --prefix "$prefix" \
      reg add 'HKCU\Software\Wine\X11 Driver' /v $setting /t REG_SZ /d N /f >/dev/null 2>&1
  done
  for font in marlett.ttf tahoma.ttf tahomabd.ttf; do
    [ -f "/usr/share/wine/fonts/$font" ] && cp "/usr/share/wine/fonts/$font" "$prefix/drive_c/windows/Fonts/"
  done
  touch "$prefix/.acceptance"
}

case $action in
  start)
    stop_pid_file "$state/xvfb.pid"
    if display_alive "${DISPLAY:-}"; then
      echo "$DISPLAY" >"$state/display"
    else
      start_xvfb "$state/xvfb.pid" >"$state/display"
    fi
    echo "display $(cat "$state/display")"
    wineserver_stop
    rm -rf "$prefix" "$prefix.home"
    prepare_prefix "$(cat "$state/display")"
    echo "fresh prefix $prefix"
    ;;
  stop)
    wineserver_stop
    stop_pid_file "$state/xvfb.pid"
    rm -f "$state/display"
    ;;
  run)
    display=$(cat "$state/display" 2>/dev/null || true)
    own=""
    case " $* " in
      *" --gtest_list_tests "*)
        # Listing the tests runs none: the build's usual prefix serves, and the session's
        # prefix is not made only to be made afresh when the session starts.
        exec "$root/scripts/wine-run.sh" --prefix "$build/wineprefix" "$@"
        ;;
      *)
        if ! display_alive "$display"; then
          own=$state/xvfb.$$.pid
          display=$(start_xvfb "$own")
        fi
        prepare_prefix "$display"
        ;;
    esac
    status=0
    DISPLAY=$display QEL_KEEP_DISPLAY=1 "$root/scripts/wine-run.sh" --prefix "$prefix" "$@" || status=$?
    if [ -n "$own" ]; then
      # Wine's processes of this run hold the display that goes away now.
      wineserver_stop
      stop_pid_file "$own"
    fi
    exit $status
    ;;
  *)
    echo "usage: session.sh start|stop|run <build dir> ..." >&2
    exit 2
    ;;
esac
