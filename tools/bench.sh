#!/usr/bin/env bash
# Builds everything, runs the benchmarks under Wine and prints their figures; the figures,
# with a description of the machine, also go to bench/results-<date>.txt for comparison
# with later runs. Arguments: frames, commands and time-outs to measure (default 5000,
# 1000, 10).
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD_DIR=${BUILD_DIR:-build}
bash tools/build.sh >/dev/null
out="bench/results-$(date +%Y%m%d-%H%M).txt"
{
  echo "Rig Console benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git rev-parse --short HEAD 2>/dev/null || echo none)"
  echo "Machine: $(uname -srm), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GiB"
  echo "Wine: $(wine --version 2>/dev/null)"
  echo
  bash tools/wine-env.sh bash -c "wine \"\$BUILD_DIR/bin/LinkBench.exe\" ${1:-5000} ${2:-1000} ${3:-10} && wine \"\$BUILD_DIR/bin/LogAppendBench.exe\""
} 2>&1 | tee "$out"
echo "bench: figures written to $out"
