#!/bin/sh
# Signs Windows images in place with an Authenticode signature (SHA-256), using osslsigncode:
#
#   QEL_SIGN_PFX=/secure/codesign.pfx QEL_SIGN_PASSWORD=... \
#     scripts/sign.sh build/mingw/QelInstallHelper.exe build/mingw/tools/qel_trace.exe
#
#   QEL_SIGN_PFX             the PKCS#12 file with the code-signing certificate and its key
#   QEL_SIGN_PASSWORD        its password
#   QEL_SIGN_TIMESTAMP_URL   optional: an RFC 3161 time-stamp server, so that the signature
#                            stays valid after the certificate expires
#
# The password goes to osslsigncode on its standard input, never on a command line. A file
# that is already signed is signed afresh. A file is replaced only by a complete signed image:
# when signing fails, it stays as it was.
set -eu
[ $# -gt 0 ] || { echo "usage: QEL_SIGN_PFX=... QEL_SIGN_PASSWORD=... sign.sh <file>..." >&2; exit 2; }
: "${QEL_SIGN_PFX:?names the PKCS#12 file to sign with}"
: "${QEL_SIGN_PASSWORD:?is the password of QEL_SIGN_PFX}"
[ -f "$QEL_SIGN_PFX" ] || { echo "sign.sh: no file $QEL_SIGN_PFX" >&2; exit 1; }
command -v osslsigncode >/dev/null || { echo "sign.sh: osslsigncode is missing (scripts/setup.sh installs it)" >&2; exit 1; }

# Signs $1 into $2.
sign() {
  set -- -in "$1" -out "$2"
  [ -z "${QEL_SIGN_TIMESTAMP_URL:-}" ] || set -- -ts "$QEL_SIGN_TIMESTAMP_URL" "$@"
  # /dev/stdin, not "-": osslsigncode reads "-" as its standard input only since 2.9, and 2.5
  # (Debian 12's own package) opens a file of that name.
  printf '%s' "$QEL_SIGN_PASSWORD" |
    osslsigncode sign -pkcs12 "$QEL_SIGN_PFX" -readpass /dev/stdin -h sha256 -n "Tarnwell installation helper" "$@"
}

# Replaces $2 by $1 in one step: a copy beside $2 (with its permissions) renamed over it, so
# that no reader ever sees half an image.
replace() {
  beside=$(mktemp "$(dirname "$2")/.$(basename "$2").XXXXXX")
  cp -p "$2" "$beside" && cat "$1" >"$beside" && mv -f "$beside" "$2"
}

work=$(mktemp -d)
beside=""
trap 'rm -rf "$work" ${beside:+"$beside"}' EXIT
for file in "$@"; do
  [ -f "$file" ] || { echo "sign.sh: no file $file" >&2; exit 1; }
  # A new signature replaces an old one instead of being refused.
  osslsigncode remove-signature -in "$file" -out "$work/unsigned" >/dev/null 2>&1 || cp "$file" "$work/unsigned"
  if ! sign "$work/unsigned" "$work/signed" >"$work/log" 2>&1; then
    cat "$work/log" >&2
    echo "sign.sh: signing $file failed" >&2
    exit 1
  fi
  replace "$work/signed" "$file" || { echo "sign.sh: $file could not be replaced" >&2; exit 1; }
  beside=""
  rm -f "$work/unsigned" "$work/signed"
  echo "signed $file"
done
