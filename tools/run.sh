#!/usr/bin/env bash
# Builds the program and runs it against the simulated unit (TCP 127.0.0.1:20130) under Wine,
# from a run folder of its own (${BUILD_DIR:-build}/run: a copy of the program with a
# Config.ini that points the link at the unit, and a capture software's environment file).
#
# With a display (DISPLAY set) the program opens in a window to work in; the run ends when it
# is closed. Without one it runs on a virtual display and the run driver works it: it waits
# for the settings page, shows the capture software's values on it, opens the console with
# "Serial Dialog", sends two commands, waits for their answers, shows the time stamps and the
# summary of the commands and closes the program. Screenshots of the main window, the settings page and
# the console in use are left in ${RIG_SHOTS_DIR:-$BUILD_DIR/shots}.
# RIG_DPI=144 or 192 runs it on a display at 150 % or 200 % (the shots' names then end in
# -150 or -200).
# Either way the start-up time, the program's trace banners and the unit's log are printed.
# RIG_PROCEDURE=FILE runs that service procedure unattended instead, prints its text report
# and ends with the program's exit code (0 passed, 1 failed, 2 not run).
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD_DIR=${BUILD_DIR:-build}
bash tools/build.sh RigConsole SimUnit TraceCapture RunDriver
export RUN_DIR="$BUILD_DIR/run"
export SHOTS_DIR=${RIG_SHOTS_DIR:-$BUILD_DIR/shots}
export SHOT_SUFFIX=""
if [ "${RIG_DPI:-96}" != 96 ]; then SHOT_SUFFIX="-$((RIG_DPI * 100 / 96))"; fi
rm -rf "$RUN_DIR"
mkdir -p "$RUN_DIR" "$SHOTS_DIR"
cp "$BUILD_DIR/bin/RigConsole.exe" "$RUN_DIR/"
if [ -n "${DISPLAY:-}" ]; then export RIG_KEEP_DISPLAY=1; fi
exec bash tools/wine-env.sh bash -c '
  set -eu
  drive() { wine "$BUILD_DIR/bin/RunDriver.exe" "$@" | tr -d "\r"; }
  wait_for() { for _ in $(seq 1 300); do [ -s "$1" ] && grep -q "$2" "$1" && return 0; sleep 0.1; done; echo "run: gave up waiting for $2 in $1" >&2; return 1; }

  rm -f "$BUILD_DIR/simunit.log"
  # The demonstration ends with a stream of frames to find through; a procedure gets the
  # plain unit.
  scenario=tools/demo-stream.sim
  if [ -n "${RIG_PROCEDURE:-}" ]; then scenario=tools/demo.sim; fi
  wine "$BUILD_DIR/bin/SimUnit.exe" --tcp 127.0.0.1:20130 --script "$scenario" --log "$BUILD_DIR/simunit.log" --quiet >/dev/null &
  unit=$!
  wine "$BUILD_DIR/bin/TraceCapture.exe" --out "$RUN_DIR/trace.txt" >/dev/null &
  capture=$!
  stop_helpers() { kill $unit $capture 2>/dev/null || true; }
  trap stop_helpers EXIT
  wait_for "$BUILD_DIR/simunit.log" READY
  for _ in $(seq 1 100); do [ -e "$RUN_DIR/trace.txt" ] && break; sleep 0.1; done

  drive prepare "$RUN_DIR" 127.0.0.1
  if [ -n "${RIG_PROCEDURE:-}" ]; then
    # Unattended: the program runs the procedure by itself and ends with its exit code.
    status=0
    wine "$RUN_DIR/RigConsole.exe" /procedure "$(winepath -w "$RIG_PROCEDURE")" /report "$(winepath -w "$RUN_DIR/reports")" \
      > "$RUN_DIR/procedure-output.txt" 2>&1 || status=$?
    tr -d "\r" < "$RUN_DIR/procedure-output.txt"
    echo "run: the procedure ended with exit code $status; its report:"
    tr -d "\r" < "$(ls "$RUN_DIR"/reports/Report-*.txt | tail -1)" || true
    exit $status
  fi
  # The program keeps the output it inherits open for its whole run: no pipe for this step.
  wine "$BUILD_DIR/bin/RunDriver.exe" launch "$RUN_DIR/RigConsole.exe" > "$RUN_DIR/launch.txt"
  tr -d "\r" < "$RUN_DIR/launch.txt"
  if [ -n "${RIG_KEEP_DISPLAY:-}" ]; then
    echo "run: the program is open against the simulated unit; close it to end the run"
    drive wait-exit
  else
    shot() {
      local file="$SHOTS_DIR/${2%.png}$SHOT_SUFFIX.png"
      import -window root -crop "$(drive rect "$1")" +repage "$file" && echo "run: screenshot $file"
    }
    drive wait-page
    sleep 1
    shot main main-window.png
    # The page with the values of the capture software shown ("Use Console SW"), then back
    # to the own settings of the program, which are the ones in use; nothing is saved.
    drive click 1616
    sleep 0.5
    shot sheet settings-page.png
    drive click 1615
    echo "run: console, command and answer:"
    drive send "[SPL_PANO]"
    drive send "[SPM_CEPH]"
    # Time stamps in the view ("Time", 1170) and the summary of the commands ("Summary", 1171).
    drive console-click 1170
    drive console-click 1171
    sleep 1
    shot console console.png
    drive console-text
    # A longer session: the unit streams 20 000 frames after the third command; the console
    # finds one of them and shows it.
    echo "run: console, a stream of 20 000 frames and a find through them:"
    drive send "[SPL_EXPO]" "[SMP_FLOOD_"
    for _ in $(seq 1 60); do
      drive console-text | grep -q "SMP_FLOOD_20000" && break
      sleep 1
    done
    drive console-find "SMP_FLOOD_04711"
    sleep 0.5
    shot console console-find.png
    drive close
  fi
  sleep 0.5
  echo "run: the program'"'"'s trace, first and last lines:"
  tr -d "\r" < "$RUN_DIR/trace.txt" | head -8
  echo "   ..."
  tr -d "\r" < "$RUN_DIR/trace.txt" | tail -4
  echo "run: what the unit received and sent:"
  head -30 "$BUILD_DIR/simunit.log" || true
'
