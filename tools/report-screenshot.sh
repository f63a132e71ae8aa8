#!/usr/bin/env bash
# Takes the picture of the sample service report for the documentation: the page that the
# ProcedureTests write into the build tree's report-sample folder, as a headless Chromium
# shows it. Run the procedure tests first, then:
#   BUILD_DIR=build bash tools/report-screenshot.sh [out.png]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
out=${1:-docs/report-example.png}
html=$(ls "$(cd "$BUILD_DIR" && pwd)"/report-sample/Report-*.html 2>/dev/null | head -1 || true)
if [ -z "$html" ]; then
  echo "report-screenshot: no sample report in $BUILD_DIR/report-sample; run the Procedure tests first" >&2
  exit 1
fi
profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
mkdir -p "$(dirname "$out")"
out_abs="$(cd "$(dirname "$out")" && pwd)/$(basename "$out")"
chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --user-data-dir="$profile" \
  --window-size=1000,1400 --screenshot="$out_abs" "file://$html" >/dev/null 2>&1
[ -s "$out_abs" ] || { echo "report-screenshot: chromium wrote no picture" >&2; exit 1; }
echo "report-screenshot: $out"
