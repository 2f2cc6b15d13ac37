#!/bin/sh
# Checks the built helper as Windows will load it: a 64-bit GUI image for Windows 6.0 that
# imports only libraries the system always loads from its own directory, with the
# manifest that runs it as invoker.
exe=$1
objdump=${2:-x86_64-w64-mingw32-objdump}
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
exit $failed
