#!/bin/sh
# Builds the example Windows Installer package on Linux with wixl and msitools (Debian packages
# wixl and msitools):
#
#   examples/msi/build.sh <QelInstallHelper.exe> <image folder> <TarnwellSetup.msi> [edition]
#
# The image folder holds what the product installs below its directory (see Tarnwell.wxs); the
# edition defaults to COMMERCIAL. With the WiX toolset 3 on Windows, Tarnwell.wxs builds as it
# is, with a list of the image's files in place of the one made here; WiX 4 and 5 build it after
# "wix convert Tarnwell.wxs" (see docs/integration.md).
set -eu
[ $# -ge 3 ] || { echo "usage: $0 <QelInstallHelper.exe> <image folder> <output .msi> [edition]" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
out=$(realpath "$3")
edition=${4:-COMMERCIAL}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# wixl finds sources only by relative paths (an absolute one fails an assertion): it runs in a
# folder of its own, where the helper and the image are links.
ln -s "$(realpath "$1")" "$work/QelInstallHelper.exe"
ln -s "$(realpath "$2")" "$work/image"
cd "$work"

# Every file of the image as a component below INSTALLDIR, in a stable order.
(cd image && find . -type f | LC_ALL=C sort) |
  wixl-heat -p ./ --directory-ref INSTALLDIR --component-group ImageFiles --var var.Image --win64 >"$work/image.wxs"

set -- -a x64 -D Helper=QelInstallHelper.exe -D Image=image -D Win64=yes -D Edition="$edition"
wixl "$@" -o "$out" "$here/Tarnwell.wxs" "$work/image.wxs" 2>"$work/wixl.log" || { cat "$work/wixl.log" >&2; exit 1; }

# wixl (0.101) writes no CustomAction row for an executable carried in the Binary table
# (BinaryKey with ExeCommand, type 2): it reports a failed assertion and goes on. The rows are
# written here from the same source, after wixl's own preprocessing, with the type that the WiX
# toolset gives them: 2, plus 0x400 when deferred, 0x800 when not impersonating, 0x40 when the
# exit code is ignored.
# It also warns about the attributes it does not know and leaves out: Platform="x64" on the
# package, which -a x64 stands for here, and Secure="yes" on a property (see below).
grep -v -e "custom_action_add: assertion 'Source != NULL' failed" -e "has no property named 'Platform'" \
  -e "has no property named 'Secure'" "$work/wixl.log" | grep -v '^ *$' >&2 || true
attribute() {
  printf '%s\n' "$1" | sed -n "s/.* $2=\"\([^\"]*\)\".*/\1/p" |
    sed 's/&quot;/"/g; s/&apos;/'"'"'/g; s/&lt;/</g; s/&gt;/>/g; s/&amp;/\&/g'
}
wixl "$@" -E "$here/Tarnwell.wxs" 2>/dev/null | grep '<CustomAction .*BinaryKey=.*ExeCommand=' >"$work/actions" || true
[ -s "$work/actions" ] || { echo "build.sh: no custom action runs the helper" >&2; exit 1; }
while IFS= read -r line; do
  id=$(attribute "$line" Id)
  type=2
  case $(attribute "$line" Execute) in
    "" | immediate) ;;
    deferred) type=$((type + 1024)) ;;
    *) echo "build.sh: $id: only immediate and deferred actions are filled in" >&2; exit 1 ;;
  esac
  [ "$(attribute "$line" Impersonate)" != no ] || [ $type -lt 1024 ] || type=$((type + 2048))
  case $(attribute "$line" Return) in
    "" | check) ;;
    ignore) type=$((type + 64)) ;;
    *) echo "build.sh: $id: only Return check or ignore is filled in" >&2; exit 1 ;;
  esac
  command=$(attribute "$line" ExeCommand)
  case $command in *"'"*) echo "build.sh: $id: a command with ' cannot be written" >&2; exit 1 ;; esac
  msibuild "$out" -q "DELETE FROM CustomAction WHERE Action = '$id'" \
    -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('$id', $type, '$(attribute "$line" BinaryKey)', '$command')"
done <"$work/actions"
# A public property that a deferred action reads must be secure: an installation started
# without administrator rights hands the installer service only the secure properties of its
# command line. The WiX toolset lists each Secure="yes" property in SecureCustomProperties, which
# wixl does not write.
wixl "$@" -E "$here/Tarnwell.wxs" 2>/dev/null | grep '<Property .*Secure="yes"' >"$work/secure" || true
secure=$(while IFS= read -r line; do attribute "$line" Id; done <"$work/secure" | paste -sd ';' -)
[ -z "$secure" ] ||
  msibuild "$out" -q "INSERT INTO Property (Property, Value) VALUES ('SecureCustomProperties', '$secure')"
# Each action the sequence names now has its row.
msiinfo export "$out" CustomAction >"$work/rows"
for id in $(sed -n 's/.* Id="\([^"]*\)".*/\1/p' "$work/actions"); do
  grep -q "^$id	" "$work/rows" || { echo "build.sh: no row for $id" >&2; exit 1; }
done
