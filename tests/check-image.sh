#!/bin/sh
# Checks the built helper as Windows will load it: a 64-bit GUI image for Windows 6.0 that
# imports only libraries the system always loads from its own directory, with the
# manifest that runs it as invoker, and that carries the project's version everywhere.
#   check-image.sh <exe> [objdump] [project version, e.g. 1.0.0]
exe=$1
objdump=${2:-x86_64-w64-mingw32-objdump}
version=${3:-}
headers=$($objdump -p "$exe") || { echo "cannot read $exe"; exit 1; }
failed=0
expect() {
  if printf '%s\n' "$headers" | grep -Eq "$1"; then echo "ok: $2"; else echo "FAILED: $2"; failed=1; fi
}
expect 'file format pei-x86-64' 'x64 image'
expect '^Subsystem[[:space:]]+00000002' 'GUI subsystem (no console)'
expect '^MajorSubsystemVersion[[:space:]]+6$' 'subsystem version 6'
expect '^MinorSubsystemVersion[[:space:]]+0$' 'subsystem version .0'
expect '^MajorOSystemVersion[[:space:]]+6$' 'OS version 6'
expect '^MinorOSystemVersion[[:space:]]+0$' 'OS version .0'

# Only known libraries: Windows always loads these from its own directory. Any other library
# is searched for beside the helper first, where anyone who can write to the download folder
# could plant one; version.dll is such a library and is resolved at run time instead.
known='^(kernel32|user32|advapi32|shell32|ole32|msvcrt)\.dll$'
imports=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$imports" ] || { echo "FAILED: no imports listed"; failed=1; }
for dll in $imports; do
  if printf '%s\n' "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$known"; then echo "ok: imports known library $dll"
  else echo "FAILED: imports $dll, not a known library"; failed=1; fi
done
if printf '%s\n' "$imports" | tr 'A-Z' 'a-z' | grep -qx 'version\.dll'; then echo "FAILED: imports version.dll"; failed=1
else echo "ok: version.dll not imported"; fi

# The manifest is resource type 24 with id 1, and asks for no elevation.
expect 'Entry: ID: 0x000018' 'manifest resource present'
expect 'Entry: ID: 0x000010' 'version resource present'
if grep -q 'level="asInvoker"' "$exe"; then echo "ok: asInvoker"; else echo "FAILED: asInvoker"; failed=1; fi

# The version: Windows shows and compares four numbers, the project has three or four.
if [ -n "$version" ]; then
  quad=$(printf '%s.0.0.0.0' "$version" | cut -d. -f1-4)
  # VS_FIXEDFILEINFO follows its signature 0xFEEF04BD and the structure version; file and
  # product version are each two little-endian DWORDs, the high word of each the first number.
  fixed=$(od -An -v -tu1 -w1 "$exe" | awk '
    { b[n++] = $1 }
    END {
      for (i = 0; i + 24 <= n; i += 4) if (b[i] == 189 && b[i+1] == 4 && b[i+2] == 239 && b[i+3] == 254) break
      if (i + 24 > n) exit
      for (v = 0; v < 2; v++) {
        o = i + 8 + 8 * v
        printf "%s%d.%d.%d.%d", (v ? " " : ""), b[o+2] + 256 * b[o+3], b[o] + 256 * b[o+1], b[o+6] + 256 * b[o+7], b[o+4] + 256 * b[o+5]
      }
    }')
  if [ "$fixed" = "$quad $quad" ]; then echo "ok: numeric file and product version $quad"
  else echo "FAILED: numeric file and product version are '$fixed', not $quad"; failed=1; fi
  texts=$(${objdump%objdump}strings -el "$exe")
  for key in FileVersion ProductVersion; do
    value=$(printf '%s\n' "$texts" | grep -x -A1 "$key" | sed -n 2p)
    if [ "$value" = "$quad" ]; then echo "ok: $key $quad"
    else echo "FAILED: $key is '$value', not $quad"; failed=1; fi
  done
  if grep -aqF "name=\"Tarnwell.QelInstallHelper\" version=\"$quad\"" "$exe"; then echo "ok: manifest identity $quad"
  else echo "FAILED: manifest identity does not carry $quad"; failed=1; fi
fi
exit $failed
