#!/usr/bin/env bash
# The loading window as the X server shows it: a program shows it for a few seconds under
# scripts/wine; screenshots of the whole screen (ImageMagick `import -window root`) must
# show the background picture pixel for pixel at the centred, topmost window's place, a
# spinner drawn below the product name, and nothing there any more once the program ended.
# LUMO_SCREENSHOT_OUT=FILE keeps a picture of the window (for the documentation).
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
out=${LUMO_OUT:?LUMO_OUT must be set}
demo="$out/win64/loading_window_demo.exe"
background="$repo/res/loading_background.png"
[ -f "$demo" ] || { echo "missing $demo"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Prepares the prefix and, without a display of the caller's, the private Xvfb.
"$repo/scripts/wine"
if [ -z "${DISPLAY:-}" ]; then
  export DISPLAY=":$(cat "$out/xvfb/display")"
fi

# Pixels of two pictures that differ by more than a rounding step; pictures that cannot be
# compared (other sizes, unreadable) count as entirely different.
differing() {
  local n
  n=$(compare -metric AE -fuzz 2% "$1" "$2" null: 2>&1 >/dev/null || true)
  if [[ "$n" =~ ^[0-9]+$ ]]; then echo "$n"; else echo 999999; fi
}
# A region of the background picture and of a screenshot at the window's place.
crop() { convert "$1" -crop "$2" +repage "$3"; }

report="$work/report.txt"
"$repo/scripts/wine" "$demo" 6000 "Z:${report//\//\\}" &
pid=$!
for _ in $(seq 1 300); do
  [ -s "$report" ] && break
  sleep 0.1
done
[ -s "$report" ] || { echo "the window was not reported up"; kill "$pid" 2>/dev/null; exit 1; }
read -r left top right bottom topmost tool workright workbottom <"$report"
echo "window: $left,$top-$right,$bottom topmost=$topmost tool=$tool work area to $workright,$workbottom"

fail=0
[ $((right - left)) -eq 307 ] && [ $((bottom - top)) -eq 93 ] || { echo "size is not 307 x 93"; fail=1; }
[ "$left" -eq $((workright / 2 - 307 / 2)) ] && [ "$top" -eq $((workbottom / 2 - 93 / 2)) ] ||
  { echo "not centred on the work area"; fail=1; }
[ "$topmost" -eq 1 ] && [ "$tool" -eq 1 ] || { echo "not a topmost tool window"; fail=1; }

# The window reaches the X server a moment after it is shown: look until its top band (the
# product name, above the spinner) matches the picture.
crop "$background" 306x50+0+0 "$work/band.png"
matched=""
for _ in $(seq 1 40); do
  import -window root "$work/shot.png"
  crop "$work/shot.png" "306x50+$left+$top" "$work/shot-band.png"
  if [ "$(differing "$work/band.png" "$work/shot-band.png")" -eq 0 ]; then matched=1; break; fi
  sleep 0.1
done
[ -n "$matched" ] || { echo "the background's top band is not on the screen"; fail=1; }

if [ -n "$matched" ]; then
  # Left and right of the spinner and below it: background too.
  for region in 140x92+0+0 140x92+166+0 306x13+0+79; do
    crop "$background" "$region" "$work/bg-part.png"
    IFS=+x read -r w h x y <<<"$region"
    crop "$work/shot.png" "${w}x${h}+$((left + x))+$((top + y))" "$work/shot-part.png"
    n=$(differing "$work/bg-part.png" "$work/shot-part.png")
    [ "$n" -eq 0 ] || { echo "$n pixels of region $region differ from the background"; fail=1; }
  done
  # Known places: the dark edge at the top left corner, the pale panel inside it.
  edge=$(convert "$work/shot.png" -format "%[hex:p{$left,$top}]" info:)
  panel=$(convert "$work/shot.png" -format "%[hex:p{$((left + 10)),$((top + 5))}]" info:)
  [ "${edge:0:6}" = "202830" ] || { echo "top left edge is $edge"; fail=1; }
  [ "${panel:0:6}" = "FCFDFF" ] || { echo "panel pixel is $panel"; fail=1; }
  # The spinner's square (141,54 and 24 x 24) is not bare background: a frame is drawn.
  crop "$background" 24x24+141+54 "$work/bg-spin.png"
  crop "$work/shot.png" "24x24+$((left + 141))+$((top + 54))" "$work/shot-spin.png"
  n=$(differing "$work/bg-spin.png" "$work/shot-spin.png")
  [ "$n" -gt 40 ] || { echo "no spinner drawn ($n pixels differ)"; fail=1; }
  if [ -n "${LUMO_SCREENSHOT_OUT:-}" ]; then
    crop "$work/shot.png" "327x113+$((left - 10))+$((top - 10))" "$LUMO_SCREENSHOT_OUT"
  fi
fi

wait "$pid" || { echo "the program failed (exit $?)"; fail=1; }
# Gone with the process: the band no longer shows on the screen.
import -window root "$work/after.png"
crop "$work/after.png" "306x50+$left+$top" "$work/after-band.png"
n=$(differing "$work/band.png" "$work/after-band.png")
[ "$n" -gt 1000 ] || { echo "the window is still on the screen ($n pixels differ)"; fail=1; }

[ "$fail" -eq 0 ] && echo ok
exit "$fail"
