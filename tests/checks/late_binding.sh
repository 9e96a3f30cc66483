#!/usr/bin/env bash
# Both launcher builds import only libraries that Windows 7 to 11 load as "known DLLs" from
# the system folder: any other name in the import table would be looked for beside the
# downloaded program, before any of its code runs. Every other library is bound late, from
# the delay-load descriptors the build makes (src/app/late_bound/*.def).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
allowed='^(kernel32|user32|gdi32|advapi32|shell32|shlwapi|ole32|oleaut32|msvcrt)\.dll$'
expected=$(for def in "$repo"/src/app/late_bound/*.def; do basename "$def" .def | tr 'A-Z' 'a-z'; done | sort | sed 's/$/.dll/')
status=0
for flavor in win32 win64; do
  exe="$LUMO_OUT/$flavor/OXUnPackLUMO.exe"
  listing=$(python3 "$here/pe_imports.py" "$exe")
  imports=$(awk '$1 == "import" {print tolower($2)}' <<<"$listing" | sort -u)
  delayed=$(awk '$1 == "delay" {print tolower($2)}' <<<"$listing" | sort -u)
  echo "$flavor imports: $(echo $imports)"
  echo "$flavor binds late: $(echo $delayed)"
  bad=$(grep -v -E "$allowed" <<<"$imports" || true)
  if [ -n "$bad" ]; then echo "$flavor imports libraries that are not known DLLs: $(echo $bad)"; status=1; fi
  if [ "$delayed" != "$expected" ]; then
    echo "$flavor binds late: $(echo $delayed); expected: $(echo $expected)"; status=1
  fi
done
[ "$status" -eq 0 ] && echo ok
exit "$status"
