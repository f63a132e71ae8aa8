#!/usr/bin/env bash
# Builds everything and runs the benchmarks under Wine, printing their figures.
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD_DIR=${BUILD_DIR:-build}
bash tools/build.sh >/dev/null
bash tools/wine-env.sh bash -c 'wine "$BUILD_DIR/bin/LogAppendBench.exe"'
