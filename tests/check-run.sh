#!/bin/sh
# scripts/run.sh as a newcomer meets it on a machine without a display: "clean" of a folder that
# holds a file prints its question with the buttons and takes the answer from --answers; with
# no answer left and no terminal it ends the question with Cancel instead of waiting.
#   check-run.sh <source dir>     (after the build: run.sh does not build again)
set -eu
cd "$1"
folder=build/mingw/run-check    # T:\run-check in the run prefix
rm -rf "$folder"
mkdir -p "$folder/full"
echo earlier >"$folder/full/earlier.txt"
failed=0

# Runs scripts/run.sh with the arguments and checks that each line expected is in its output.
check() {
  expected=$1
  shift
  out=$(QEL_RUN_BUILT=1 DISPLAY='' scripts/run.sh "$@" </dev/null 2>/dev/null) || true
  printf '%s\n' "$expected" | while IFS= read -r line; do
    printf '%s\n' "$out" | grep -qxF -- "$line" || { echo "missing: $line"; echo 1 >"$folder/failed"; }
  done
  [ ! -f "$folder/failed" ] || { printf 'scripts/run.sh %s printed:\n%s\n' "$*" "$out"; failed=1; rm -f "$folder/failed"; }
}

check "| The installation directory is not empty:
| 'T:\\run-check\\full'
| Cancel: 	Abort the installation.
+ [Yes] [No] [Cancel]
> No
exit code: 0" --answers no clean 'T:\run-check\full'

check "+ [Yes] [No] [Cancel]
No answer left to read: Cancel, which ends the question.
> Cancel
exit code: 1" clean 'T:\run-check\full'

[ "$(cat "$folder/full/earlier.txt")" = earlier ] || { echo "the file was touched"; failed=1; }
rm -rf "$folder"
exit $failed
