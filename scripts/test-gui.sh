#!/bin/bash
# Drives tarnwk.exe's main window for real: Xvfb on a free display, a Wine prefix of its own in the
# build folder (a virtual desktop, the Wine fonts), then the driver program, which starts the
# window, checks it and works it through the Win32 API.
# Usage: scripts/test-gui.sh BUILD_DIR   (a windows-x64 build; a windows-x86 one inside the 32-bit
# Debian of scripts/test-x86.sh). Leaves BUILD_DIR/gui-screenshot.png.
set -euo pipefail

build=$(cd "${1:?usage: test-gui.sh BUILD_DIR [DRIVER OPTIONS]}" && pwd)
shift
driver=$build/tests/gui_driver.exe
prefix=$build/gui-prefix
[ -x "$driver" ] || { echo "test-gui: no $driver; build first" >&2; exit 1; }
if [ "${WINEARCH:-}" = win32 ] && [ ! -f /.tarnwick-x86-ready ]; then
  echo "test-gui: the 32-bit tests run inside the 32-bit Debian of scripts/test-x86.sh" >&2
  exit 1
fi
for tool in Xvfb wine wineserver convert; do
  command -v "$tool" >/dev/null || { echo "test-gui: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done

export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WAYLAND_DISPLAY

# One run per prefix at a time.
exec 8>"$prefix.lock"
flock -w 300 8

work=$(mktemp -d)
xvfb_pid=""
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# The prefix, made once and without a display: the virtual desktop goes into the registry before
# explorer ever starts, and the Wine fonts into its font folder (caption buttons need Marlett).
if [ ! -f "$prefix/.tarnwick-gui-ready" ]; then
  echo "test-gui: making the Wine prefix $prefix"
  (
    unset DISPLAY
    timeout 120 wineboot -i >/dev/null 2>&1 </dev/null || true
    timeout 60 wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    timeout 60 wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f \
      >/dev/null 2>&1
    timeout 60 wineserver -w || true
  )
  mkdir -p "$prefix/drive_c/windows/Fonts"
  cp /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/"
  touch "$prefix/.tarnwick-gui-ready"
fi
# A server left from another display would keep that display.
wineserver -k >/dev/null 2>&1 || true

# Xvfb picks a free display itself and names it; then its socket must be there.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || { echo "test-gui: Xvfb did not start" >&2; exit 1; }
  sleep 0.1
done
display=$(tr -dc '0-9' <"$work/display")
[ -n "$display" ] || { echo "test-gui: Xvfb named no display" >&2; exit 1; }
for _ in $(seq 100); do
  [ -S "/tmp/.X11-unix/X$display" ] && break
  sleep 0.1
done
[ -S "/tmp/.X11-unix/X$display" ] || { echo "test-gui: no socket for :$display" >&2; exit 1; }
export DISPLAY=:$display

# The server and Wine's background services start here, away from the caller's output pipes.
wineserver -p30 >/dev/null 2>&1 </dev/null || true
timeout 60 wine wineboot >/dev/null 2>&1 </dev/null || true

shot=$work/window.bmp
status=0
TARNWICK_GUI_SCREENSHOT="Z:$(echo "$shot" | tr / '\\')" WINEDEBUG=-all \
  timeout 240 wine "$driver" --gtest_brief=1 "$@" 2>&1 </dev/null | tr -d '\r' | sed '/Read access denied for device/d' || status=$?
# The pipe's status is the driver's (pipefail).

if [ -s "$shot" ]; then
  convert "$shot" "$build/gui-screenshot.png" && echo "test-gui: screenshot in $build/gui-screenshot.png"
fi
exit "$status"
