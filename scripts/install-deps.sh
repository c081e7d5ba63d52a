#!/bin/sh
# Installs the Debian 12 packages the build and the tests need (as root). Quiet when all are there.
# Never installs wine32: on these machines it breaks 64-bit Wine.
set -e
packages="build-essential cmake ninja-build googletest clang libclang-rt-14-dev
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine wine64 fonts-wine xvfb xauth imagemagick x11-utils util-linux
  dpkg-dev unzip man-db groff-base"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
