#!/bin/sh
# Installs the Debian 12 packages the build and the tests need (as root). Quiet when all are there.
#
#   scripts/install-deps.sh          everything: every preset, the tests under Wine, fuzzing and
#                                    the packages (what scripts/test-all.sh needs)
#   scripts/install-deps.sh linux    only what building the Linux program needs
#
# The lists are complete for a minimal Debian 12 system (debootstrap --variant=minbase).
# Never installs wine32 here: on these machines it breaks 64-bit Wine (scripts/test-x86.sh keeps
# it inside a 32-bit Debian of its own).
set -e
linux="build-essential cmake ninja-build googletest"
case "${1:-all}" in
  linux) packages="$linux" ;;
  all)
    # clang and its runtime: the fuzz targets; dpkg-dev and file: CPack's Debian package
    # (dpkg-shlibdeps, and file to find the binaries); unzip, man-db, groff-base, lintian: checking
    # the packages; acl: the tests that put an ACL on a file; util-linux: setpriv for the tests that
    # run as another user, unshare and mount for the save tests; strace: a kill at a chosen write;
    # time: the peak memory of a run;
    # debootstrap: the 32-bit Debian that the 32-bit Windows tests run in (scripts/test-x86.sh,
    # with mount; its 32-bit Wine stays there); dnsmasq-base: one of the readers of hosts files
    # that judge the Linux program's results (on 127.0.0.1 only, started and stopped by the tests).
    packages="$linux clang libclang-rt-14-dev debootstrap mount
      g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
      wine wine64 fonts-wine xvfb xauth imagemagick x11-utils util-linux strace
      dpkg-dev file unzip man-db groff-base acl time dnsmasq-base lintian"
    ;;
  *)
    echo "usage: $0 [linux]" >&2
    exit 2
    ;;
esac
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
