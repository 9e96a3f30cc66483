#!/usr/bin/env bash
# The built launchers carry the commit's time (or SOURCE_DATE_EPOCH) as their PE time
# stamp, as a reproducible release build must; nothing is built here.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
out=${LUMO_OUT:-$repo/out}
expected=${SOURCE_DATE_EPOCH:-$(git -C "$repo" log -1 --format=%ct)}
for exe in "$out/win32/OXUnPackLUMO.exe" "$out/win64/OXUnPackLUMO.exe"; do
  [ -f "$exe" ] || { echo "$exe is not built"; exit 1; }
  lfanew=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
  stamp=$(od -An -tu4 -j$((lfanew + 8)) -N4 "$exe" | tr -d ' ')
  echo "$exe: time stamp $stamp ($(date -u -d "@$stamp" '+%F %T UTC'))"
  [ "$stamp" = "$expected" ] || { echo "expected $expected ($(date -u -d "@$expected" '+%F %T UTC'))"; exit 1; }
done
echo ok
