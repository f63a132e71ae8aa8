#!/usr/bin/env bash
# Runs a command inside the test environment: a Wine prefix of the build tree, an Xvfb
# display, and a pseudo-terminal pair mapped as COM5 (the program's side) and COM6 (the
# unit's side). Everything started here is stopped again on the way out.
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
# Windows draw their own frames instead of waiting for a window manager that Xvfb lacks
# (destroying a managed window otherwise costs about 2 s).
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1

# Display for everything that creates a window.
if [ -z "${RIG_KEEP_DISPLAY:-}" ]; then
  display=99
  while [ -e "/tmp/.X${display}-lock" ] || [ -e "/tmp/.X11-unix/X${display}" ]; do display=$((display + 1)); done
  Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
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
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$ptydir/ttyA" /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v COM6 /t REG_SZ /d "$ptydir/ttyB" /f >/dev/null 2>&1
wineserver -k >/dev/null 2>&1 || true
wineserver -w
export RIG_COM_PROGRAM=5 RIG_COM_UNIT=6
# One persistent wineserver for the whole run keeps each process start short.
wineserver -p
# Start Wine's own background processes now, with their output going nowhere: started later
# by a test executable, they would inherit its output pipe and ctest would wait for them.
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

"$@"
