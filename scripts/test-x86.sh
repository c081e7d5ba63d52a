#!/bin/bash
# Runs every Windows test of the 32-bit build (preset windows-x86: support_tests, engine_tests,
# app_tests and the window tests under Xvfb) with 32-bit Wine, inside a 32-bit Debian 12 kept
# beside the machine's own: 32-bit Wine installed on the machine itself would break 64-bit Wine.
#
#   scripts/test-x86.sh            (as root; builds the preset first when it is not up to date)
#
# The 32-bit system is made once (debootstrap --arch=i386 --variant=minbase bookworm, the machine's
# apt sources, then wine wine32 xvfb xauth fonts-wine imagemagick cmake) in
# /var/cache/tarnwick-x86/root, or under TARNWICK_X86_CACHE when set, and made again when missing.
# For a run it gets /proc, /sys, /dev (with /dev/pts and /dev/shm), the source folder (with the
# build folder in it) at the path it has outside, and ../shared/corpus read-only when present;
# ctest --preset windows-x86 runs in it (WINEARCH=win32). Every mount is undone at the end, also
# when a test fails or the run is interrupted, and /proc/mounts is checked for leftovers.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd -P)
build=$src/build/windows-x86
corpus=$(cd "$src/.." && pwd -P)/shared/corpus
cache=${TARNWICK_X86_CACHE:-/var/cache/tarnwick-x86}
root=$cache/root
# What the tests need inside: Wine, the display for the window tests, the fonts the window test
# prefix gets, ImageMagick for its screenshot, and ctest.
packages="wine wine32 xvfb xauth fonts-wine imagemagick cmake"

begun=$(date +%s)
say() { echo "test-x86: $*"; }
die() { echo "test-x86: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || die "must run as root (debootstrap, chroot, mount)"
for tool in debootstrap chroot mount umount flock; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/install-deps.sh)"
done

# The mount points under a folder, deepest first, from /proc/mounts (octal escapes decoded).
mounts_under() { # DIR
  awk -v dir="$1" '{
      p = $2
      while (match(p, /\\[0-7][0-7][0-7]/)) {
        c = substr(p, RSTART + 1, 3)
        p = substr(p, 1, RSTART - 1) sprintf("%c", (substr(c,1,1)*64) + (substr(c,2,1)*8) + substr(c,3,1)) substr(p, RSTART + 4)
      }
      if (p == dir || index(p, dir "/") == 1) print p
    }' /proc/mounts | sort -r
}

# Ends every process whose root is inside DIR (Wine's server, Xvfb, a test still running).
end_processes_in() { # DIR
  local dir=$1 pid link found round
  for round in 1 2 3 4 5 6 7 8 9 10 11; do
    found=""
    for pid in /proc/[0-9]*; do
      link=$(readlink "$pid/root" 2>/dev/null) || continue
      if [ "$link" = "$dir" ] || [ "${link#"$dir"/}" != "$link" ]; then
        found="$found ${pid#/proc/}"
      fi
    done
    [ -n "$found" ] || return 0
    # shellcheck disable=SC2086
    if [ "$round" -eq 1 ]; then
      kill -TERM $found 2>/dev/null || true
    elif [ "$round" -ge 6 ]; then
      kill -KILL $found 2>/dev/null || true
    fi
    sleep 0.5
  done
}

# Undoes every mount under DIR: plainly, then (when something still holds one) lazily.
unmount_all_under() { # DIR
  local dir=$1 m
  while read -r m; do
    [ -n "$m" ] || continue
    umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || echo "test-x86: cannot unmount $m" >&2
  done < <(mounts_under "$dir")
}

# Removes a folder that must hold no mount (a half-made system): never deletes through one.
remove_tree() { # DIR
  end_processes_in "$1"
  unmount_all_under "$1"
  [ -z "$(mounts_under "$1")" ] || die "$1 still holds mounts; not removing it"
  rm -rf --one-file-system "$1"
}

# One run at a time per cache: the mounts and the system are shared.
mkdir -p "$cache"
exec 9>"$cache/lock"
flock -w 3600 9 || die "another run holds $cache/lock"

# Mounts left by a run that was killed outright (SIGKILL, power) go first.
if [ -n "$(mounts_under "$root")" ]; then
  say "undoing the mounts a killed run left under $root"
  end_processes_in "$root"
  unmount_all_under "$root"
  [ -z "$(mounts_under "$root")" ] || die "cannot undo the old mounts under $root"
fi

# The Debian mirror the machine's sources name for bookworm (the first one), else debootstrap's.
machine_mirror() {
  {
    [ -f /etc/apt/sources.list ] &&
      awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i !~ /^\[/ && $i !~ /\]$/ && $i ~ /:\/\//) { if ($(i+1) == "bookworm") print $i; break } }' \
        /etc/apt/sources.list
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] || continue
      awk 'BEGIN { RS = ""; FS = "\n" }
        { uri = ""; ok = 0; deb = 0
          for (i = 1; i <= NF; i++) {
            if ($i ~ /^URIs:/) { split($i, a, /[ \t]+/); uri = a[2] }
            if ($i ~ /^Suites:/ && $i ~ /[ \t]bookworm([ \t]|$)/) ok = 1
            if ($i ~ /^Types:/ && $i ~ /[ \t]deb([ \t]|$)/) deb = 1
            if ($i ~ /^Enabled:[ \t]*no/) ok = 0
          }
          if (ok && deb && uri != "") print uri }' "$f"
    done
  } 2>/dev/null | head -n 1
}

# The machine's apt sources (and the keyrings they name) into the 32-bit system.
copy_sources() { # ROOT
  local r=$1 f key
  : >"$r/etc/apt/sources.list"
  [ -f /etc/apt/sources.list ] && cp /etc/apt/sources.list "$r/etc/apt/sources.list"
  for f in /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    cp "$f" "$r/etc/apt/sources.list.d/"
    for key in $(sed -n -e 's/^Signed-By:[ \t]*\(\/[^ \t]*\).*/\1/p' \
                        -e 's/.*signed-by=\(\/[^] \t]*\).*/\1/p' "$f"); do
      if [ -f "$key" ] && [ ! -e "$r$key" ]; then
        mkdir -p "$r$(dirname "$key")"
        cp "$key" "$r$key"
      fi
    done
  done
  cp -L /etc/resolv.conf "$r/etc/resolv.conf" 2>/dev/null || true
}

# The packages into the 32-bit system. A Packages index that fails to download (a mirror in the
# middle of a sync) is not fatal: the others are enough when the install then works.
install_packages() { # ROOT
  local r=$1 tries
  copy_sources "$r"
  for tries in 1 2 3; do
    if chroot "$r" apt-get update -qq -o Acquire::Retries=3 >"$cache/apt.log" 2>&1; then
      break
    fi
    [ "$tries" -lt 3 ] && sleep 5
  done
  grep -q '^E:' "$cache/apt.log" && { say "apt-get update reported (going on):"; sed 's/^/  /' "$cache/apt.log"; }
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive chroot "$r" apt-get install -y -qq --no-install-recommends \
    -o Acquire::Retries=3 $packages >>"$cache/apt.log" 2>&1 ||
    { sed 's/^/  /' "$cache/apt.log" >&2; die "installing $packages in $r failed"; }
  chroot "$r" apt-get clean
  echo "$packages" >"$r/.tarnwick-x86-ready"
}

if [ ! -f "$root/.tarnwick-x86-ready" ]; then
  started=$(date +%s)
  say "making the 32-bit Debian 12 in $root (once; a few minutes)"
  new=$cache/root.new
  [ -e "$new" ] && remove_tree "$new"
  [ -e "$root" ] && remove_tree "$root"
  mirror=$(machine_mirror)
  # shellcheck disable=SC2086
  if ! debootstrap --arch=i386 --variant=minbase bookworm "$new" $mirror >"$cache/debootstrap.log" 2>&1; then
    tail -n 20 "$cache/debootstrap.log" >&2
    remove_tree "$new"
    die "debootstrap failed (log: $cache/debootstrap.log); the kernel must run 32-bit programs"
  fi
  install_packages "$new"
  mv "$new" "$root"
  say "made in $(( $(date +%s) - started )) s ($(du -sh "$root" | cut -f1))"
elif [ "$(cat "$root/.tarnwick-x86-ready")" != "$packages" ]; then
  say "bringing the packages of $root up to date"
  install_packages "$root"
fi

# The build (quiet and quick when it is up to date), and what the Linux program writes on the
# samples and the corpus, which tarnwkc.exe must write too (scripts/test-console.sh).
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86
cmake --preset release >/dev/null
cmake --build --preset release --target tarnwk >/dev/null
rm -rf "$build/console-expected"
scripts/test-console.sh expect "$build/console-expected" || die "the Linux program's outputs"
# A prefix made by 64-bit Wine (ctest run outside) cannot serve 32-bit Wine.
for prefix in "$build/wineprefix" "$build/gui-prefix"; do
  if [ -f "$prefix/system.reg" ] && grep -q '^#arch=win64' "$prefix/system.reg"; then
    say "removing the 64-bit Wine prefix $prefix"
    rm -rf "$prefix" "$prefix.lock"
  fi
done

# From here on every mount is undone on the way out, whatever the way.
child=""
cleanup() {
  local status=$?
  trap - EXIT INT TERM HUP
  if [ -n "$child" ]; then
    kill -TERM "$child" 2>/dev/null || true
    wait "$child" 2>/dev/null || true
  fi
  end_processes_in "$root"
  unmount_all_under "$root"
  local left
  left=$(mounts_under "$root")
  if [ -n "$left" ]; then
    echo "test-x86: mounts left behind under $root:" >&2
    echo "$left" >&2
    status=1
  else
    say "no mount left under $root"
  fi
  say "$(( $(date +%s) - begun )) s in all"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

mount_private() { # ARGS... TARGET
  mount "$@"
  mount --make-private "${!#}"
}
mount_private -t proc proc "$root/proc"
mount_private -t sysfs sysfs "$root/sys"
mount_private --bind /dev "$root/dev"
[ -d /dev/pts ] && mount_private --bind /dev/pts "$root/dev/pts"
[ -d /dev/shm ] && mount_private --bind /dev/shm "$root/dev/shm"
mkdir -p "$root$src"
mount_private --bind "$src" "$root$src"
if [ -d "$corpus" ]; then
  mkdir -p "$root$corpus"
  mount_private --bind "$corpus" "$root$corpus"
  mount -o remount,bind,ro "$root$corpus"
fi

# ctest in the 32-bit system, with an environment of its own (no DISPLAY, no WINEPREFIX from here).
# In the background so that a signal reaches the trap at once.
chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" WINEARCH=win32 \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  /bin/sh -c 'cd "$1" && ctest --preset windows-x86 && WINEARCH=win32 scripts/test-console.sh \
    compare build/windows-x86/console-expected build/windows-x86' sh "$src" &
child=$!
status=0
wait "$child" || status=$?
child=""
exit "$status"
