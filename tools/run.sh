#!/usr/bin/env bash
# Builds the program and runs it against the simulated unit (TCP 127.0.0.1:20130), under
# Wine. With a display (DISPLAY set) the program stays until it is closed; without one it
# runs on a virtual display for RIG_RUN_SECONDS (default 20) and leaves a screenshot in
# ${BUILD_DIR:-build}/run.png.
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD_DIR=${BUILD_DIR:-build}
bash tools/build.sh
if [ -n "${DISPLAY:-}" ]; then export RIG_KEEP_DISPLAY=1; fi
exec bash tools/wine-env.sh bash -c '
  set -u
  wine "$BUILD_DIR/bin/SimUnit.exe" --tcp 127.0.0.1:20130 --script tools/demo.sim --log "$BUILD_DIR/simunit.log" --quiet &
  unit=$!
  wine "$BUILD_DIR/bin/RigConsole.exe" &
  program=$!
  if [ -n "${RIG_KEEP_DISPLAY:-}" ]; then
    wait $program
  else
    sleep "${RIG_RUN_SECONDS:-20}"
    import -window root "$BUILD_DIR/run.png" 2>/dev/null && echo "run: screenshot in $BUILD_DIR/run.png"
    kill $program 2>/dev/null || true
  fi
  kill $unit 2>/dev/null || true
  echo "run: what the unit received and sent:"
  cat "$BUILD_DIR/simunit.log" 2>/dev/null | head -40 || true
'
