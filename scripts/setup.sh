#!/bin/sh
# Installs the Debian packages that the build and the tests need, where they are missing.
set -eu
packages="cmake make g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 wine64 googletest xvfb"
# The acceptance suite and the pictures: a display check, Wine's own fonts for the boxes, the
# example installers (NSIS and Windows Installer), screenshots.
packages="$packages x11-utils fonts-wine nsis wixl msitools imagemagick"
# Signing the release images, and the test that makes a certificate to sign with.
packages="$packages osslsigncode openssl"
missing=""
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing="$missing $package"
done
[ -z "$missing" ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
echo "installing:$missing"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
