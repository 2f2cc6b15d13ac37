#!/bin/sh
# Runs a Windows program under Wine in a private prefix inside the build tree.
#
# A new prefix links the user folders (Desktop, Documents, ...) to the Linux home and
# drive Z: to the Linux root; a recursive delete that reached them would destroy files
# of this machine. The prefix is therefore created with a throw-away home, and every
# link out of it is replaced or removed before any program runs in it. The one way out
# that stays is drive T:, the build tree that holds the prefix, where the programs and
# the files that tests need are built.
#
# Usage: wine-run.sh [--prefix DIR] program.exe [arguments...]
# The prefix defaults to $QEL_WINEPREFIX, or ./wineprefix.
set -eu

wine=/usr/lib/wine/wine64
prefix=${QEL_WINEPREFIX:-$(pwd)/wineprefix}
if [ "${1:-}" = --prefix ]; then
  prefix=$2
  shift 2
fi
case $prefix in /*) ;; *) prefix=$(pwd)/$prefix ;; esac
mkdir -p "$(dirname "$prefix")"

sandbox() {
  # Every link below the user folders points out of the prefix: make it an empty folder.
  find "$prefix/drive_c/users" -type l 2>/dev/null | while read -r link; do
    rm -f "$link" && mkdir -p "$link"
  done
  rm -f "$prefix/dosdevices/z:"
  ln -sfn "$(dirname "$prefix")" "$prefix/dosdevices/t:"
}

(
  flock 9
  if [ ! -f "$prefix/.sandboxed" ]; then
    rm -rf "$prefix" "$prefix.home"
    mkdir -p "$prefix.home"
    HOME="$prefix.home" WINEPREFIX="$prefix" WINEDEBUG=-all "$wine" wineboot --init >/dev/null 2>&1 || true
    HOME="$prefix.home" WINEPREFIX="$prefix" /usr/lib/wine/wineserver -w 2>/dev/null || true
    sandbox
    touch "$prefix/.sandboxed"
  fi
  # Wine may restore links when it updates a prefix: check on every run.
  if [ -n "$(find "$prefix/drive_c/users" -type l 2>/dev/null)" ] || [ -e "$prefix/dosdevices/z:" ] ||
     [ ! -e "$prefix/dosdevices/t:" ]; then
    sandbox
  fi
) 9>"$prefix.lock"

export WINEPREFIX="$prefix" HOME="$prefix.home" WINEDEBUG="${WINEDEBUG:--all}"
# A Wine server ends as soon as its last program has, and a program that starts while it is
# ending can die without a word. One that stays 30 seconds after the last program serves a
# whole test run instead. When one is already up, this ends at once and changes nothing.
# It must not keep this script's output or lock open.
/usr/lib/wine/wineserver -p30 </dev/null >/dev/null 2>&1 9>&- || true
# Tests answer message boxes through the seam; a real box without a display fails at
# once instead of waiting for a click nobody gives.
[ -n "${QEL_KEEP_DISPLAY:-}" ] || unset DISPLAY
# Started by a Linux path, a program sees itself as \\?\unix\...; started from its own
# folder, it sees itself on drive T: like the files beside it.
program=$1
shift
case $program in
  */*) cd "$(dirname "$program")" && program=./$(basename "$program") ;;
esac
# A program that talks with the user (scripts/run.sh) writes straight to this script's output,
# and whoever started it ends the prefix's processes afterwards (see below).
if [ -n "${QEL_DIRECT_OUTPUT:-}" ]; then
  exec "$wine" "$program" "$@"
fi
# Wine's background processes (services, explorer) outlive the program that started them
# and keep its output open, which would make whoever reads that output (ctest) wait for
# them. The program's output goes through files that only this script reads.
out=$(mktemp) err=$(mktemp)
run() {
  status=0
  "$wine" "$program" "$@" >"$out" 2>"$err" || status=$?
}
silent() { [ $status -ne 0 ] && [ ! -s "$out" ] && [ ! -s "$err" ]; }
run "$@"
# A test program prints its filter before its first test. One that ended without a word never
# got that far: Wine failed to start it (seen now and then on a loaded machine), so it is
# started once more. Any other program's silent end is its result.
case " $* " in
  *" --gtest_"*)
    if silent; then
      echo "wine-run.sh: $program ended with status $status before it wrote anything; started again" >&2
      run "$@"
    fi
    ;;
esac
cat "$out"
cat "$err" >&2
# A program that ends at once without a word leaves only its status to go by.
if silent; then
  echo "wine-run.sh: $program $* ended with status $status and wrote nothing" >&2
fi
rm -f "$out" "$err"
exit $status
