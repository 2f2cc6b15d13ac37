#!/bin/sh
# Signs copies of the shipped images with scripts/sign.sh and a throw-away self-signed
# code-signing certificate made here, and checks that the signatures verify against that
# certificate, and that the signed helper is still the image Windows expects and behaves as
# the unsigned one does under Wine.
#   check-signing.sh <source dir> <build dir> <objdump> <project version>
set -eu
source=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
objdump=$3
version=$4
work=$build/signing
rm -rf "$work"
mkdir -p "$work/signed"
cd "$work"

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=QelInstallHelper test signing" \
  -addext keyUsage=digitalSignature -addext extendedKeyUsage=codeSigning \
  -keyout key.pem -out cert.pem >openssl.log 2>&1 || { cat openssl.log; exit 1; }
password='throw away'
openssl pkcs12 -export -in cert.pem -inkey key.pem -out sign.pfx -passout "pass:$password"
cp "$build/QelInstallHelper.exe" "$build/tools/qel_trace.exe" signed/
QEL_SIGN_PFX=$work/sign.pfx QEL_SIGN_PASSWORD=$password "$source/scripts/sign.sh" signed/*.exe

set +e
failed=0
check() {
  if [ "$1" = 0 ]; then echo "ok: $2"; else echo "FAILED: $2"; failed=1; fi
}
[ "$(ls -A signed)" = "$(printf 'QelInstallHelper.exe\nqel_trace.exe')" ] && [ -x signed/QelInstallHelper.exe ]
check $? "the signed images replaced the copies, still executable, and nothing else is left beside them"
mkdir refused && cp "$build/QelInstallHelper.exe" refused/
! QEL_SIGN_PFX=$work/sign.pfx QEL_SIGN_PASSWORD=wrong "$source/scripts/sign.sh" refused/QelInstallHelper.exe \
  >refused.log 2>&1 && cmp -s refused/QelInstallHelper.exe "$build/QelInstallHelper.exe" &&
  [ "$(ls -A refused)" = QelInstallHelper.exe ]
check $? "a wrong password fails and leaves the image as it was, with nothing beside it"
for image in QelInstallHelper.exe tools/qel_trace.exe; do
  name=$(basename "$image")
  osslsigncode verify -CAfile cert.pem -in "signed/$name" >"verify-$name.log" 2>&1
  check $? "$name: signature verifies against the test certificate"
  ! osslsigncode verify -CAfile cert.pem -in "$build/$image" >/dev/null 2>&1
  check $? "$name: the unsigned image does not verify"
  # A signed release is checked against a rebuild through its unsigned bytes.
  osslsigncode remove-signature -in "signed/$name" -out "unsigned-$name" >/dev/null 2>&1 &&
    cmp -s "unsigned-$name" "$build/$image"
  check $? "$name: without its signature, the built image's bytes"
done

sh "$source/tests/check-image.sh" signed/QelInstallHelper.exe "$objdump" "$version" >check-image.log
check $? "signed helper passes check-image.sh"

# No arguments: the box that says so cannot show without a display, and the helper ends with 1.
# A clean of a directory that does not exist has nothing to do and ends with 0. The signed
# helper must end the same way after the same traced steps (the process id and its own path
# aside).
run() {
  trace=$1
  shift
  status=0
  WINEDEBUG=-all,warn+seh "$source/scripts/wine-run.sh" --prefix "$build/wineprefix" "$@" >/dev/null 2>"$trace.log" ||
    status=$?
  sed -n 's/^[0-9a-f]*:warn:seh:OutputDebugStringA //p' "$trace.log" |
    sed 's/PID: [0-9]*/PID/; s/argv\[ 0 \]: <[^>]*>/argv[ 0 ]/' >"$trace"
  echo $status
}
case=0
for expected in "1" "0 clean C:\\qel-signing-absent"; do
  case=$((case + 1))
  set -- $expected
  code=$1
  shift
  what="helper ${*:-without arguments}"
  unsigned=$(run unsigned-$case.trace "$build/QelInstallHelper.exe" "$@")
  signed=$(run signed-$case.trace "$work/signed/QelInstallHelper.exe" "$@")
  [ "$unsigned" = "$code" ] && [ "$signed" = "$code" ]
  check $? "$what: exit code $code unsigned ($unsigned) and signed ($signed)"
  grep -q 'function: <qel_tmain>' signed-$case.trace && cmp -s unsigned-$case.trace signed-$case.trace
  check $? "$what: the signed one traces the same steps ($(wc -l <signed-$case.trace) lines)"
done
exit $failed
