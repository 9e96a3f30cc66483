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
# The layout cmake/merged_sections.py gives both launchers, which only the x86_64 one can show
# by running here: no section of its own for MinGW's initialiser tables, unwind tables or
# thread-local template, and that template at the very start of the writable data, where a
# thread-local variable's offset is counted from.
for build in "$exe" "$LUMO_OUT/win64/OXUnPackLUMO.exe"; do
  python3 - "$build" <<'PY' || exit 1
import struct, sys
data = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
count, optional = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
plus = struct.unpack_from("<H", data, pe + 24)[0] == 0x20B
base = struct.unpack_from("<Q" if plus else "<I", data, pe + 24 + (24 if plus else 28))[0]
tls_rva = struct.unpack_from("<I", data, pe + 24 + (112 if plus else 96) + 9 * 8)[0]
sections = {}
for i in range(count):
    at = pe + 24 + optional + 40 * i
    name = data[at:at + 8].rstrip(b"\0").decode()
    size, rva, raw_size, raw = struct.unpack_from("<IIII", data, at + 8)
    sections[name] = (rva, size, raw)
stray = [n for n in (".CRT", ".tls", ".eh_fram") if n in sections]
if stray:
    sys.exit("%s: sections of their own: %s" % (sys.argv[1], " ".join(stray)))
for rva, size, raw in sections.values():
    if rva <= tls_rva < rva + size:
        start = struct.unpack_from("<Q" if plus else "<I", data, raw + tls_rva - rva)[0] - base
        break
else:
    sys.exit("%s: no TLS directory" % sys.argv[1])
if start != sections[".data"][0]:
    sys.exit("%s: the thread-local template is not at the start of .data" % sys.argv[1])
PY
done
echo ok
