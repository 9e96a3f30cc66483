#!/usr/bin/env bash
# The release launcher still starts on Windows XP, where it tells the user to upgrade: the
# loader refuses a program whose import table names a function the system does not have,
# before any of the program's code runs. So every function the i686 launcher imports must be
# on tests/checks/xp_functions.txt, the list of functions whose documented minimum client is
# Windows XP SP3 or earlier, each with its source; newer ones are looked up at run time.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exe="$LUMO_OUT/win32/OXUnPackLUMO.exe"
list="$here/xp_functions.txt"

# The list itself: four columns, a client no newer than XP SP3, a source of a known kind.
bad_entries=$(grep -v -E '^(#|$)' "$list" |
  awk '!(NF == 4 && $3 ~ /^(NT4|2000|XP|XPSP[123])$/ && $4 ~ /^(api:[a-z0-9_]+|msvcrt\.def)$/)' || true)
if [ -n "$bad_entries" ]; then echo "malformed or too new entries in $list:"; echo "$bad_entries"; exit 1; fi

allowed=$(grep -v -E '^(#|$)' "$list" | awk '{print tolower($1) ".dll", $2}' | sort -u)
imported=$(python3 "$here/pe_imports.py" "$exe" | awk '$1 == "import" {print tolower($2), $3}' | sort -u)
count=$(grep -c . <<<"$imported" || true)
echo "i686 imports: $count functions"
# An empty listing would pass everything: the reader failed, not the launcher.
[ "$count" -gt 0 ] || { echo "no imported functions found in $exe"; exit 1; }

unlisted=$(comm -23 <(echo "$imported") <(echo "$allowed"))
if [ -n "$unlisted" ]; then
  echo "imported but not known to exist on Windows XP (look them up at run time):"
  echo "$unlisted"
  exit 1
fi
echo ok
