#!/usr/bin/env bash
# Takes the gallery screenshot of the documentation: runs the kit gallery on the test
# display and crops the screen to its window. Run it inside the test environment:
#   BUILD_DIR=build bash tools/wine-env.sh bash tools/Gallery/screenshot.sh [out.png]
# with RIG_DPI=144 or 192 before it for the display at 150 % or 200 %.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build}
out=${1:-docs/gallery.png}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The gallery closes itself after the given number of seconds.
wine "$BUILD_DIR/bin/Gallery.exe" 8 &
gallery=$!
window_geometry() { xwininfo -root -children 2>/dev/null | awk '/"Rig Console - control kit"/ {print $(NF-1); exit}'; }
for _ in $(seq 1 100); do
  [ -n "$(window_geometry)" ] && break
  sleep 0.2
done
# Settled: painted and centred on the screen.
sleep 2
geometry=$(window_geometry)
if [ -z "$geometry" ]; then echo "screenshot: the gallery window did not appear" >&2; exit 1; fi

# The flashing label hides its text every other half second: of two shots half a second
# apart, keep the one that shows more of the label's red text.
red_pixels() { convert "$1" -fill black +opaque '#C81414' -fill white -opaque '#C81414' -format '%[fx:int(mean*w*h+0.5)]' info:; }
import -window root -crop "$geometry" +repage "$tmp/a.png"
sleep 0.5
import -window root -crop "$geometry" +repage "$tmp/b.png"
if [ "$(red_pixels "$tmp/a.png")" -ge "$(red_pixels "$tmp/b.png")" ]; then best="$tmp/a.png"; else best="$tmp/b.png"; fi
mkdir -p "$(dirname "$out")"
cp "$best" "$out"
wait "$gallery" || true
echo "screenshot: $out ($geometry)"
