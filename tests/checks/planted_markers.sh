#!/usr/bin/env bash
# The libraries that the planting test puts beside a launcher are of that launcher's width and
# export, under the plain names the system's libraries use, every function the launcher binds
# late from them (and cryptbase the function advapi32 forwards to it). A program that imports
# one of those names directly then loads the marker: on Windows a missing export ends the
# program's start before any library's entry point runs (Wine only warns), and a 32-bit loader
# passes over a 64-bit library as a bad image.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
status=0
for flavor in win32 win64; do
  case "$flavor" in
    win32) objdump=i686-w64-mingw32-objdump; magic=010b ;;
    win64) objdump=x86_64-w64-mingw32-objdump; magic=020b ;;
  esac
  launcher="$LUMO_OUT/$flavor/OXUnPackLUMO.exe"
  delayed=$(python3 "$here/pe_imports.py" "$launcher" | awk '$1 == "delay" {print tolower($2), $3}')
  [ -n "$delayed" ] || { echo "$flavor: the launcher binds nothing late"; status=1; continue; }
  # And what the hardening preloads because the system's libraries load it by name, with
  # cryptbase's SystemFunction036, which advapi32 forwards there.
  delayed+=$'\ncryptbase.dll SystemFunction036\ncryptsp.dll\nntmarta.dll\ndwmapi.dll\nuxtheme.dll\nwinsta.dll'
  for lib in $(awk '{print $1}' <<<"$delayed" | sort -u); do
    marker="$LUMO_OUT/$flavor/planted/$lib"
    if [ ! -f "$marker" ]; then echo "$flavor: no marker $marker"; status=1; continue; fi
    headers=$("$objdump" -p "$marker")
    grep -q "Magic[[:space:]]*$magic" <<<"$headers" || { echo "$flavor: $lib is not of the launcher's width"; status=1; }
    exported=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && /^\t\[/ {print $3; next} on {on = 0}' <<<"$headers")
    for function in $(awk -v lib="$lib" '$1 == lib {print $2}' <<<"$delayed"); do
      grep -qx "$function" <<<"$exported" || { echo "$flavor: $lib exports no $function"; status=1; }
    done
  done
done
[ "$status" -eq 0 ] && echo ok
exit "$status"
