#!/usr/bin/env bash
# The release launcher still starts on Windows XP, where it tells the user to upgrade: the
# loader refuses a program whose import table names a function the system does not have,
# before any of the program's code runs. So every function the i686 launcher imports must be
# on tests/checks/xp_functions.txt, the list of functions whose documented minimum client is
# Windows XP SP3 or earlier, each with its source; newer ones are looked up at run time. The
# x86_64 build is held to the same list: neither build may import a forwarder that loads a
# library by a search (the list says which).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
list="$here/xp_functions.txt"

# The list itself: four columns, a client no newer than XP SP3, a source of a known kind.
bad_entries=$(grep -v -E '^(#|$)' "$list" |
  awk '!(NF == 4 && $3 ~ /^(NT4|2000|XP|XPSP[123])$/ && $4 ~ /^(api:[a-z0-9_]+|msvcrt\.def)$/)' || true)
if [ -n "$bad_entries" ]; then echo "malformed or too new entries in $list:"; echo "$bad_entries"; exit 1; fi

allowed=$(grep -v -E '^(#|$)' "$list" | awk '{print tolower($1) ".dll", $2}' | sort -u)
# The x86_64 build imports the same functions, a few under their 64-bit names or as the C
# runtime's data where i686 calls an accessor: compared under the names the list gives them.
# Its exception handler, __C_specific_handler, has no i686 form; kernel32 forwards it to
# ntdll, which every process holds before its imports are bound.
as_listed_x64='s/ (Get|Set)WindowLongPtrW$/ \1WindowLongW/; s/ _(time|localtime)64$/ \1/; s/ __iob_func$/ _iob/;
  s/ _(commode|fmode|wcmdln)$/ __p__\1/; /^kernel32\.dll __C_specific_handler$/d'
status=0
for flavor in win32 win64; do
  exe="$LUMO_OUT/$flavor/OXUnPackLUMO.exe"
  imported=$(python3 "$here/pe_imports.py" "$exe" | awk '$1 == "import" {print tolower($2), $3}' | sort -u)
  [ "$flavor" = win32 ] || imported=$(sed -E "$as_listed_x64" <<<"$imported" | sort -u)
  count=$(grep -c . <<<"$imported" || true)
  echo "$flavor imports: $count functions"
  # An empty listing would pass everything: the reader failed, not the launcher.
  [ "$count" -gt 0 ] || { echo "$flavor: no imported functions found in $exe"; status=1; continue; }

  unlisted=$(comm -23 <(echo "$imported") <(echo "$allowed"))
  if [ -n "$unlisted" ]; then
    echo "$flavor imports functions not on the list (look them up at run time):"
    echo "$unlisted"
    status=1
  fi
done
[ "$status" -eq 0 ] && echo ok
exit "$status"
