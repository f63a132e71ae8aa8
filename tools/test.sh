#!/usr/bin/env bash
# Builds everything and runs every test under Wine (inside tools/wine-env.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
bash tools/build.sh
bash tools/wine-env.sh ctest --test-dir "$BUILD_DIR" --output-on-failure --timeout 300 "$@"
