#!/usr/bin/env bash
# Builds everything, runs the benchmarks under Wine and prints their figures; the figures,
# with a description of the machine, also go to bench/results-<date>.txt for comparison
# with later runs. Arguments: frames, commands and time-outs to measure (default 5000,
# 1000, 10). Not part of the tests: figures depend on the machine and its load.
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD_DIR=${BUILD_DIR:-build}
bash tools/build.sh >/dev/null
out="bench/results-$(date +%Y%m%d-%H%M).txt"
export FRAMES=${1:-5000} COMMANDS=${2:-1000} TIMEOUTS=${3:-10}
{
  echo "Rig Console benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git rev-parse --short HEAD 2>/dev/null || echo none)"
  echo "Machine: $(uname -srm), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GiB"
  echo "Wine: $(wine --version 2>/dev/null)"
  echo
  bash tools/wine-env.sh bash -c '
    set -eu
    wine "$BUILD_DIR/bin/LinkBench.exe" "$FRAMES" "$COMMANDS" "$TIMEOUTS" | tr -d "\r"
    wine "$BUILD_DIR/bin/LogAppendBench.exe" | tr -d "\r"
    # Start-up: process start to the main window shown, five starts against the unit.
    run="$BUILD_DIR/benchrun"
    rm -rf "$run" && mkdir -p "$run" && cp "$BUILD_DIR/bin/RigConsole.exe" "$run/"
    wine "$BUILD_DIR/bin/SimUnit.exe" --tcp 127.0.0.1:20130 --quiet >/dev/null &
    unit=$!
    wine "$BUILD_DIR/bin/RunDriver.exe" prepare "$run" 127.0.0.1 >/dev/null
    for i in 1 2 3 4 5; do
      wine "$BUILD_DIR/bin/RunDriver.exe" launch "$run/RigConsole.exe" > "$run/launch.txt"
      tr -d "\r" < "$run/launch.txt" | grep "start-up" | sed "s/ (process.*//"
      wine "$BUILD_DIR/bin/RunDriver.exe" wait-page >/dev/null
      wine "$BUILD_DIR/bin/RunDriver.exe" close >/dev/null
    done
    kill $unit 2>/dev/null || true
  '
} 2>&1 | tee "$out"
echo "bench: figures written to $out"
