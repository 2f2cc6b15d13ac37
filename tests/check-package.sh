#!/bin/sh
# Makes the package with cpack into build/mingw/package, unpacks it there, and checks it as a
# user would: the sums, the files it must hold, and that the helper in it runs under Wine, its
# trace captured by the trace tool in it listening to the debug output.
#   check-package.sh <source dir> <build dir> <project version> <cmake> <cpack>
set -eu
source=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
version=$3
cmake=$4
cpack=$5
work=$build/package
name=QelInstallHelper-$version-win64
rm -rf "$work"
mkdir -p "$work/unpacked"
(cd "$build" && "$cpack" -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
(cd "$work/unpacked" && "$cmake" -E tar xf "$work/$name.zip")
cd "$work/unpacked/$name"

set +e
failed=0
check() {
  if [ "$1" = 0 ]; then echo "ok: $2"; else echo "FAILED: $2"; failed=1; fi
}
sha256sum --quiet -c SHA256SUMS
check $? "sha256sum -c SHA256SUMS"
[ "$(find . -type f ! -name SHA256SUMS | sed 's|^\./||' | sort)" = "$(sed 's/^[0-9a-f]*  //' SHA256SUMS | sort)" ]
check $? "SHA256SUMS lists every other file of the package"
for file in QelInstallHelper.exe qel_trace.exe docs/USER.md $(cd "$source" && find examples -type f); do
  [ -f "$file" ]
  check $? "holds $file"
done
for image in QelInstallHelper.exe tools/qel_trace.exe; do
  cmp -s "$(basename "$image")" "$build/$image"
  check $? "$(basename "$image") is the build's"
done
# The packaged helper runs with no debugger, and the packaged trace tool listens meanwhile.
run() { "$source/scripts/wine-run.sh" --prefix "$build/wineprefix" "$@"; }
QEL_DIRECT_OUTPUT=1 run ./qel_trace.exe --listen --seconds 6 >"$work/listen.out" 2>"$work/listen.err" &
listener=$!
for tenth in $(seq 300); do grep -q listening "$work/listen.err" && break; sleep 0.1; done
run ./QelInstallHelper.exe clean 'C:\qel-package-absent' >/dev/null 2>&1
check $? "the packaged helper runs: clean of a missing directory ends with 0"
wait $listener
pid=$(sed -n 's/^[^ ]* [^ ]* \([0-9]*\) QelInstallHelper\.exe: arg: <2>, argv\[ 2 \]: <C:\\qel-package-absent>$/\1/p' \
  "$work/listen.out" | head -n 1)
[ -n "$pid" ] && grep -q "^[^ ]* [^ ]* $pid QelInstallHelper\.exe: PID: $pid, File: <main>" "$work/listen.out"
check $? "the packaged qel_trace --listen has that run's trace with its process id ($pid)"
exit $failed
