#!/bin/sh
# Builds the shipped images a second time and compares their bytes with the first build's: a
# copy of the sources in another folder, configured with the same preset into another build
# tree, later. Anyone can then rebuild a release from its commit and check it. The images must
# also name neither tree's folders and carry no debug information.
#   check-reproducible.sh <source dir> <build dir> <objdump> [cmake]
set -eu
source=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
objdump=$3
cmake=${4:-cmake}
repro=$build/repro
images="QelInstallHelper.exe tools/qel_trace.exe"

rm -rf "$repro"
mkdir -p "$repro/source"
# What the build reads without its tests; examples and documents only go into the package.
(cd "$source" && cp -R CMakeLists.txt CMakePresets.json cmake res src tools bench "$repro/source/")
"$cmake" -S "$repro/source" --preset mingw -B "$repro/build" -DBUILD_TESTING=OFF >"$repro/configure.log" 2>&1 ||
  { cat "$repro/configure.log"; exit 1; }
"$cmake" --build "$repro/build" -j2 --target QelInstallHelper qel_trace >"$repro/build.log" 2>&1 ||
  { cat "$repro/build.log"; exit 1; }

set +e
failed=0
check() {
  if [ "$1" = 0 ]; then echo "ok: $2"; else echo "FAILED: $2"; failed=1; fi
}
grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$repro/source" "$repro/build/CMakeCache.txt"
check $? "the second build read the copy in $repro/source"
for image in $images; do
  cmp "$build/$image" "$repro/build/$image"
  check $? "$image: both builds identical"
  for exe in "$build/$image" "$repro/build/$image"; do
    debug=$($objdump -h "$exe" | awk '$2 ~ /^\.debug/ { printf " %s", $2 }')
    [ -z "$debug" ]
    check $? "$exe: no debug sections$debug"
    # Narrow and UTF-16 text, the resources included.
    wide=$(${objdump%objdump}strings -el "$exe")
    for folder in "$source" "$build" "$repro/source" "$repro/build"; do
      ! grep -aqF "$folder" "$exe" && ! printf '%s\n' "$wide" | grep -qF "$folder"
      check $? "$exe: does not name $folder"
    done
  done
done
exit $failed
