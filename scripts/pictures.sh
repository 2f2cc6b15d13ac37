#!/bin/sh
# Renders every message box of the helper and saves each as docs/<operation>.png.
#
# The pictures are taken, not drawn: the acceptance scenarios run the built helper into each
# situation on an Xvfb display of their own, in a prefix of their own (build/mingw/pictures-
# prefix). Before the scenario's box answerer presses a button, it leaves a request with the
# box's place on the screen in build/mingw/pictures-shots; this script takes the screen with
# ImageMagick, crops it to the box, and removes the request. The two boxes that no command
# line reaches are shown through the helper's message code (tests/programs/show_message.cpp).
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
