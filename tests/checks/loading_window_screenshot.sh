#!/usr/bin/env bash
# The loading window as the X server shows it: a program shows it for a few seconds under
# scripts/wine; screenshots of the whole screen (ImageMagick `import -window root`) must
# show the background picture pixel for pixel at the centred, topmost window's place, a
# spinner drawn below the product name, and nothing there any more once the program ended.
# Then once more on a screen scaled to 150 % (Wine's LogPixels 144, put back afterwards):
# the window half as large again, centred, its product name from the large background.
# LUMO_SCREENSHOT_OUT=FILE keeps a picture of the window (for the documentation), and
# LUMO_SCREENSHOT_150_OUT=FILE one of the window at 150 %.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
out=${LUMO_OUT:?LUMO_OUT must be set}
demo="$out/win64/loading_window_demo.exe"
background="$repo/res/loading_background.png"
background2x="$repo/res/loading_background_2x.png"
[ -f "$demo" ] || { echo "missing $demo"; exit 1; }

work=$(mktemp -d)
# Wine reads the screen's DPI from this value when a program starts; a fresh prefix has none
# (96 DPI). Whatever was there is put back however this script ends.
desktop='HKCU\Control Panel\Desktop'
saved_dpi=""
dpi_changed=""
restore_dpi() {
  [ -n "$dpi_changed" ] || return 0
  if [ -n "$saved_dpi" ]; then
    "$repo/scripts/wine" reg add "$desktop" /v LogPixels /t REG_DWORD /d "$((saved_dpi))" /f >/dev/null 2>&1
  else
    "$repo/scripts/wine" reg delete "$desktop" /v LogPixels /f >/dev/null 2>&1
  fi
}
trap 'restore_dpi; rm -rf "$work"' EXIT

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

# Starts the demo (its pid in $pid) and waits until it has written where its window stands.
show_window() {
  "$repo/scripts/wine" "$demo" 6000 "Z:${1//\//\\}" &
  pid=$!
  for _ in $(seq 1 300); do
    [ -s "$1" ] && break
    sleep 0.1
  done
}

report="$work/report.txt"
show_window "$report"
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

# ---- 150 %: LogPixels 144 for the next program started ----
saved_dpi=$("$repo/scripts/wine" reg query "$desktop" /v LogPixels 2>/dev/null | tr -d '\r' |
  awk '$1 == "LogPixels" {print $3}' || true)
dpi_changed=1
"$repo/scripts/wine" reg add "$desktop" /v LogPixels /t REG_DWORD /d 144 /f >/dev/null
report150="$work/report150.txt"
show_window "$report150"
# The program has read its DPI: the others that follow get theirs back.
restore_dpi
dpi_changed=""
[ -s "$report150" ] || { echo "the 150 % window was not reported up"; kill "$pid" 2>/dev/null; exit 1; }
read -r left top right bottom topmost tool workright workbottom <"$report150"
echo "window at 150 %: $left,$top-$right,$bottom work area to $workright,$workbottom"
# The background's 306 x 92 times 1.5 (halves rounded up), and the column and row the
# window's region leaves out.
[ $((right - left)) -eq 460 ] && [ $((bottom - top)) -eq 139 ] || { echo "size at 150 % is not 460 x 139"; fail=1; }
[ "$left" -eq $((workright / 2 - 460 / 2)) ] && [ "$top" -eq $((workbottom / 2 - 139 / 2)) ] ||
  { echo "not centred on the work area at 150 %"; fail=1; }
# The band with the product name (above the spinner) is the large background reduced to
# 459 x 138. ImageMagick's bilinear reduction is not GDI+'s, pixel for pixel, so compare by
# signal-to-noise ratio: about 31 dB against the large picture, 20 against the small one
# enlarged (the Wine test loading_window_test compares with GDI+'s own reduction exactly).
convert "$background2x" -filter Triangle -resize '459x138!' -crop 459x75+0+0 +repage "$work/band150.png"
# A signal-to-noise ratio of at least 27 dB ("inf" for equal pictures).
close_enough() { [ "$1" = inf ] || { [[ "$1" =~ ^[0-9]+(\.[0-9]+)?$ ]] && [ "${1%%.*}" -ge 27 ]; }; }
psnr=0
for _ in $(seq 1 40); do
  import -window root "$work/shot150.png"
  crop "$work/shot150.png" "459x75+$left+$top" "$work/shot150-band.png"
  psnr=$(compare -metric PSNR "$work/band150.png" "$work/shot150-band.png" null: 2>&1 || true)
  close_enough "$psnr" && break
  sleep 0.1
done
close_enough "$psnr" ||
  { echo "the product name at 150 % is not the large background reduced (PSNR $psnr dB)"; fail=1; }
if [ -n "${LUMO_SCREENSHOT_150_OUT:-}" ]; then
  crop "$work/shot150.png" "491x170+$((left - 15))+$((top - 15))" "$LUMO_SCREENSHOT_150_OUT"
fi
wait "$pid" || { echo "the program failed at 150 % (exit $?)"; fail=1; }

[ "$fail" -eq 0 ] && echo ok
exit "$fail"
