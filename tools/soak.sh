#!/usr/bin/env bash
# Soak run of the program: builds, then runs Soak.exe inside the test environment
# (tools/wine-env.sh) against the real build/bin/RigConsole.exe and the simulated unit, over
# TCP and the COM pair. The printed figures, with a description of the machine, also go to
# bench/soak-YYYYMMDD-HHMM.txt. Not part of the tests: nothing fails on the figures.
#
#   bash tools/soak.sh [--quick] [--only frames,hostile,openclose,faults,reconnect] [--links tcp,com]
#                      [--frames N] [--rate R] [--hostile-bytes N] [--cycles N] [--reconnects N]
#                      [--stall-frames N]
#
# The full run (10^6 frames, 10^7 hostile bytes and 1 000 Close/Open cycles per link, 1 000
# lose-and-reconnect cycles over TCP) takes long; --quick (20 000 frames, 10^6 hostile bytes,
# 50 cycles, 50 reconnects) takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD_DIR=${BUILD_DIR:-build}

if [ "${1:-}" = "--inside" ]; then
  shift
  rm -rf "$BUILD_DIR/soak"
  # Output into a file, not a pipe: the program and the unit inherit nothing from Soak, but
  # Wine's own processes may, and a pipe they hold would never end.
  status=0
  wine "$BUILD_DIR/bin/Soak.exe" "$@" > "$BUILD_DIR/soak-output.txt" 2>&1 || status=$?
  tr -d '\r' < "$BUILD_DIR/soak-output.txt"
  exit $status
fi

started=$SECONDS
bash tools/build.sh
mkdir -p bench
out="bench/soak-$(date +%Y%m%d-%H%M).txt"
{
  echo "Rig Console soak, $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git rev-parse --short HEAD 2>/dev/null || echo none)"
  echo "Machine: $(uname -srm), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GiB"
  echo "Wine: $(wine --version 2>/dev/null); load average before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "Arguments: ${*:-(none: the full run)}"
  echo
  bash tools/wine-env.sh bash tools/soak.sh --inside "$@"
  echo
  echo "soak: the whole run took $((SECONDS - started)) s; load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
} 2>&1 | tee "$out"
echo "soak: figures written to $out"
