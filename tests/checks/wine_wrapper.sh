#!/usr/bin/env bash
# scripts/wine, right after it has started a new wineserver, lets a caller read a program's
# output through a pipe to its end: Wine's session processes, which start with the first
# program and live as long as the server, must not hold the caller's pipe.
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$LUMO_OUT/wineprefix}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# End the prefix's server and wait until it is gone, so that scripts/wine starts a new one.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
( "$repo/scripts/wine" cmd /c echo hi 2>&1 | cat >"$work/output"; touch "$work/ended" ) &
for _ in $(seq 1 120); do
  [ -f "$work/ended" ] && break
  sleep 1
done
if [ ! -f "$work/ended" ]; then
  echo "the output pipe was still held after 120 s: Wine's session processes inherited it"
  wineserver -k 2>/dev/null || true
  exit 1
fi
grep -q '^hi' "$work/output" || { echo "unexpected output: $(cat "$work/output")"; exit 1; }
echo ok
