#!/usr/bin/env bash
# Runs a command inside the test environment: a Wine prefix of the build tree, an Xvfb
# display, a pseudo-terminal pair mapped as COM5 (the program's side) and COM6 (the unit's
# side), and a second pair, COM7 and COM8, that tests can pull out and plug in again.
# Everything started here is stopped again on the way out.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
mkdir -p "$BUILD_DIR"
BUILD_ABS=$(cd "$BUILD_DIR" && pwd)

export WINEPREFIX="$BUILD_ABS/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

pids=()
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  for p in "${pids[@]}"; do kill "$p" >/dev/null 2>&1 || true; done
}
trap cleanup EXIT

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "wine-env: creating the Wine prefix"
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi
# Wine draws the caption buttons with Marlett; this Wine finds its own fonts (fonts-wine) only
# in the prefix's Fonts folder, so without it the close button is a plain letter "r".
if [ -f /usr/share/wine/fonts/marlett.ttf ] && [ ! -f "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf" ]; then
  mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
  cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
fi
# Windows draw their own frames instead of waiting for a window manager that Xvfb lacks
# (destroying a managed window otherwise costs about 2 s).
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1

# The display's scale: RIG_DPI=144 (150 %) or 192 (200 %) for this run, 96 (100 %) otherwise.
# Wine reads it at each process's start; tests that need another scale set it for their own
# child processes only.
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "${RIG_DPI:-96}" /f >/dev/null 2>&1

# Display for everything that creates a window.
if [ -z "${RIG_KEEP_DISPLAY:-}" ]; then
  display=99
  while [ -e "/tmp/.X${display}-lock" ] || [ -e "/tmp/.X11-unix/X${display}" ]; do display=$((display + 1)); done
  # A larger screen for a larger scale: the windows grow with it.
  screen=1280x1024x24
  if [ "${RIG_DPI:-96}" -gt 96 ]; then screen=2560x2048x24; fi
  Xvfb ":$display" -screen 0 "$screen" -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  export DISPLAY=":$display"
  for _ in $(seq 1 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
fi

# Pseudo-terminal pair for the serial tests.
ptydir="$BUILD_ABS/pty"
mkdir -p "$ptydir"
rm -f "$ptydir/ttyA" "$ptydir/ttyB"
socat -d pty,raw,echo=0,link="$ptydir/ttyA" pty,raw,echo=0,link="$ptydir/ttyB" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do [ -e "$ptydir/ttyA" ] && [ -e "$ptydir/ttyB" ] && break; sleep 0.1; done
# A second pair, COM7 (the program's side) and COM8 (the unit's), that tests can pull out and
# plug in again as a USB adapter is: while the file "$ptydir/down" exists the pair is gone
# (its socat ended, its links removed); when the file goes, a new pair comes up.
rm -f "$ptydir/down" "$ptydir/ttyC" "$ptydir/ttyD"
(
  pair=0
  trap '[ "$pair" != 0 ] && kill "$pair" 2>/dev/null; exit 0' TERM INT
  while :; do
    if [ -e "$ptydir/down" ]; then
      rm -f "$ptydir/ttyC" "$ptydir/ttyD"
      sleep 0.05
      continue
    fi
    socat -d pty,raw,echo=0,link="$ptydir/ttyC" pty,raw,echo=0,link="$ptydir/ttyD" >/dev/null 2>&1 &
    pair=$!
    while [ ! -e "$ptydir/down" ] && kill -0 "$pair" 2>/dev/null; do sleep 0.05; done
    kill "$pair" 2>/dev/null || true
    wait "$pair" 2>/dev/null || true
    pair=0
  done
) &
pids+=($!)
for _ in $(seq 1 100); do [ -e "$ptydir/ttyA" ] && [ -e "$ptydir/ttyB" ] && [ -e "$ptydir/ttyC" ] && [ -e "$ptydir/ttyD" ] && break; sleep 0.1; done
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$ptydir/ttyA" /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v COM6 /t REG_SZ /d "$ptydir/ttyB" /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v COM7 /t REG_SZ /d "$ptydir/ttyC" /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v COM8 /t REG_SZ /d "$ptydir/ttyD" /f >/dev/null 2>&1
wineserver -k >/dev/null 2>&1 || true
wineserver -w
export RIG_COM_PROGRAM=5 RIG_COM_UNIT=6 RIG_COM_PULLED_PROGRAM=7 RIG_COM_PULLED_UNIT=8 RIG_PTY_DIR="$ptydir"
# One persistent wineserver for the whole run keeps each process start short.
wineserver -p
# Start Wine's own background processes now, with their output going nowhere: started later
# by a test executable, they would inherit its output pipe and ctest would wait for them.
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

"$@"
