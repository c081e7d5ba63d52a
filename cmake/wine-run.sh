#!/bin/sh
# Runs one Windows program under Wine in a private prefix, quietly and without a display.
# Usage: wine-run.sh PREFIX PROGRAM [ARGS...]
# The first call creates the prefix; every call makes sure a persistent wineserver is up first,
# so that Wine's background services never hold ctest's output pipes open.
set -e
prefix=$1
shift
if [ "${WINEARCH:-}" = win32 ] && [ ! -f /.tarnwick-x86-ready ]; then
  echo "wine-run: the 32-bit tests run inside the 32-bit Debian of scripts/test-x86.sh" >&2
  exit 1
fi
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$prefix"
(
  flock 9
  if [ ! -f "$prefix/.tarnwick-ready" ]; then
    wineboot -i >/dev/null 2>&1 </dev/null 9>&- || true
    wineserver -w >/dev/null 2>&1 </dev/null 9>&- || true
    touch "$prefix/.tarnwick-ready"
  fi
  # Children must not inherit the lock: a lingering server would hold it.
  # A persistent server (30 s linger) keeps later starts cheap; a second one simply fails.
  wineserver -p30 >/dev/null 2>&1 </dev/null 9>&- || true
  wine wineboot >/dev/null 2>&1 </dev/null 9>&- || true
) 9>"$prefix.lock"
exec wine "$@"
