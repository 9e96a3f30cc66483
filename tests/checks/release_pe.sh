#!/usr/bin/env bash
# The release launcher is a stripped 32-bit PE GUI program that needs no MinGW DLL.
set -euo pipefail
exe="$LUMO_OUT/win32/OXUnPackLUMO.exe"
headers=$(i686-w64-mingw32-objdump -p "$exe")
grep -q 'Magic[[:space:]]*010b' <<<"$headers" || { echo "not PE32"; exit 1; }
grep -q 'Subsystem[[:space:]]*00000002' <<<"$headers" || { echo "not a GUI program"; exit 1; }
dlls=$(grep 'DLL Name:' <<<"$headers" | awk '{print $3}')
echo "imports: $(echo $dlls)"
if grep -iqE 'libgcc|libstdc|libwinpthread|mingw' <<<"$dlls"; then echo "imports a MinGW DLL"; exit 1; fi
# Stripped: no symbol table left.
if i686-w64-mingw32-objdump -t "$exe" 2>/dev/null | grep -q '\.text'; then echo "not stripped"; exit 1; fi
# The resources the design names are in it: icon 128, the string table, version, manifest.
res=$(i686-w64-mingw32-objdump -h "$exe" | grep -c '\.rsrc' || true)
[ "$res" -ge 1 ] || { echo "no resources"; exit 1; }
# Both builds are marked aware of terminal servers (TERMINAL_SERVER_AWARE, 0x8000): unmarked, a
# terminal server answers GetWindowsDirectoryW with a folder of the user's and maps the
# program's INI and registry use.
for flavor in win32:i686 win64:x86_64; do
  flags=$("${flavor#*:}-w64-mingw32-objdump" -p "$LUMO_OUT/${flavor%%:*}/OXUnPackLUMO.exe" |
    awk '$1 == "DllCharacteristics" {print $2}')
  (( 0x${flags:-0} & 0x8000 )) || { echo "${flavor%%:*}: not aware of terminal servers (DllCharacteristics ${flags:-?})"; exit 1; }
done
# The download stays small: at most 128 KiB, the resources included (docs/PERFORMANCE.md shows
# where the bytes go; the runtime pieces that would bring it back above are named in
# src/app/lean_runtime.cpp).
size=$(stat -c %s "$exe")
echo "size: $size bytes"
[ "$size" -le 131072 ] || { echo "larger than 131,072 bytes (128 KiB)"; exit 1; }
echo ok
