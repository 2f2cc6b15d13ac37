#!/bin/sh
# Renders every message box of the helper and saves each as docs/<operation>.png.
#
# The pictures are taken, not drawn: the acceptance scenarios run the built helper into each
# situation on an Xvfb display of their own, in a prefix of their own (build/mingw/pictures-
# prefix). Before the scenario's box answerer presses a button, it leaves a request with the
# box's place on the screen in build/mingw/pictures-shots; this script takes the screen with
# ImageMagick, crops it to the box, and removes the request. The two boxes that no command
# line reaches are shown through the helper's message code (tests/programs/show_message.cpp),
# and the two warnings of "remove" by running the built helper into them (see below).
#
#   scripts/pictures.sh
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/build.sh >/dev/null
build=$root/build/mingw
shots=$build/pictures-shots
session="sh $root/tests/acceptance/session.sh"
export QEL_SESSION_NAME=pictures
rm -rf "$shots"
mkdir -p "$shots" docs

# Scenarios that between them show every box, each box at least once.
filter=$(printf '%s:' \
  'Dispatch/BadCommandLineTest.*/NoArguments' \
  'Dispatch/MissingDirectoryTest.*/Absent' \
  'CleanTest.RetryAfterTheFileIsFreedDeletesEverything' \
  'CheckEdition/CheckEditionTest.*/CommercialOverStudentFiles' \
  'CopyFailures/*' \
  'UnreachableMessages.*')

# Always a display of its own, so that the pictures do not depend on the desktop in use.
env -u DISPLAY $session start "$build"
trap '$session stop "$build" >/dev/null 2>&1 || true' EXIT
display=$(cat "$build/pictures-session/display")

status_file=$shots/status
(
  cd "$build/tests"
  status=0
  QEL_SHOTS='T:\pictures-shots' $session run "$build" ./qel_acceptance.exe --gtest_filter="$filter" \
    >"$shots/run.log" 2>&1 || status=$?
  echo $status >"$status_file"
) &

taken=""
while [ ! -f "$status_file" ] || [ -n "$(ls "$shots" | grep '\.request$' || true)" ]; do
  for request in "$shots"/*.request; do
    [ -f "$request" ] || continue
    name=$(basename "$request" .request)
    read -r left top width height <"$request" || { sleep 0.05; continue; }
    case " $taken " in
      *" $name "*) ;;
      *)
        DISPLAY=$display import -window root -crop "${width}x${height}+${left}+${top}" +repage -strip \
          -define png:exclude-chunks=date,time "docs/$name.png"
        taken="$taken $name"
        echo "docs/$name.png"
        ;;
    esac
    rm -f "$request"
  done
  sleep 0.1
done

# The two warnings of "remove" come up only where an uninstallation meets a fault: the built
# helper is run into each on the same display, where its box waits for someone to answer it.
# The box is taken where the X server shows it, then the prefix's programs are ended.
prefix=$build/pictures-prefix
inst="$prefix/drive_c/Program Files/Tarnwell"
shoot() {  # <operation> <arguments of the helper...>
  operation=$1
  shift
  (cd "$build" && $session run "$build" QelInstallHelper.exe "$@" >/dev/null 2>&1 &)
  geometry=""
  for attempt in $(seq 150); do
    geometry=$(DISPLAY=$display xwininfo -root -tree |
      sed -n 's/^ *0x[0-9a-f]* "TARNWELL Setup": .*  \([0-9]*x[0-9]*+[0-9]*+[0-9]*\)  .*/\1/p' | head -n 1)
    [ -z "$geometry" ] || break
    sleep 0.2
  done
  if [ -n "$geometry" ]; then
    sleep 0.5  # drawn
    DISPLAY=$display import -window root -crop "$geometry" +repage -strip -define png:exclude-chunks=date,time \
      "docs/$operation.png"
    echo "docs/$operation.png"
  else
    echo "no box of $operation" >&2
  fi
  WINEPREFIX=$prefix HOME=$prefix.home /usr/lib/wine/wineserver -k 2>/dev/null || true
  WINEPREFIX=$prefix HOME=$prefix.home /usr/lib/wine/wineserver -w 2>/dev/null || true
}
rm -rf "$inst"
mkdir -p "$inst/AMD64"
cp "$build/tests/qel_component_failing.dll" "$inst/AMD64/QELInfo_AMD64.dll"
shoot ShowExtensionUnregisterFailed remove 'C:\Program Files\Tarnwell'
rm -rf "$inst/AMD64"
(cd "$build" && $session run "$build" reg add 'HKLM\Software\Helvane\BRAVIK\2020' /v ENGINE /t REG_DWORD /d 1 /f \
  >/dev/null 2>&1)
shoot ShowEngineRemoveFailed remove 'C:\Program Files\Tarnwell'
rm -rf "$inst"

status=$(cat "$status_file")
if [ "$status" -ne 0 ]; then
  cat "$shots/run.log"
  echo "the scenarios failed: the pictures may be incomplete" >&2
fi
missing=""
for operation in $(sed -n 's/^ *{Message::[A-Za-z]*, "\([A-Za-z]*\)",$/\1/p' tests/acceptance/messages.cpp); do
  [ -f "docs/$operation.png" ] || missing="$missing $operation"
done
if [ -n "$missing" ]; then
  echo "no picture of:$missing" >&2
  exit 1
fi
exit "$status"
