#!/usr/bin/env bash
# The release kit assembles, and its summary has its shape: the kit's Windows-side tests run
# under Wine on a small filter, plus a program that left no XML, summed up by the kit's summary
# program. Expected: Wine named as no release run, one line per numbered check of
# docs/RELEASE-CHECKS.md in order with a status of the allowed forms, the counts per class, and
# "N passed, 1 failed" with GoogleTest's own count. Then the kit's clean-up on what its tests
# change of what stood before.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
out=${LUMO_OUT:-$repo/out}
"$repo/scripts/windows-kit" --no-build
kit="$out/windows-kit"
results="$out/windows-kit-check"
rm -rf "$results" && mkdir -p "$results"
windows() { echo "Z:$(sed 's|/|\\|g' <<<"$1")"; }

filter='Junctions.*:ProtectedFolder.FolderSwapped*:SystemQueries.*:RegistryViews.*'
"$repo/scripts/wine" "$kit/win64/wine_tests.exe" --gtest_filter="$filter" \
  --gtest_output="xml:$(windows "$results")\\wine-x86_64.xml" >"$results/wine-x86_64.log" 2>&1 || true
passed=$(grep -aoE '^\[  PASSED  \] [0-9]+' "$results/wine-x86_64.log" | grep -oE '[0-9]+$')
# What the x86_64 launcher maps before its entry point, as the kit's debugger sees it: one more
# test, passed (the assertion is Windows'); a program the kit skipped is named, not failed.
"$repo/scripts/wine" "$kit/lumokit.exe" modules "$(windows "$results")\\modules.xml" \
  "$(windows "$kit")\\win64\\OXUnPackLUMO.exe" >"$results/modules.log" 2>&1 || true
passed=$((${passed:-0} + 1))
printf 'wine-x86_64 exit code 0\r\ne2e exit code 3\r\nwine-i686 skipped: no 32-bit here\r\n' >"$results/runs.txt"
"$repo/scripts/wine" "$kit/lumokit-summary.exe" "$(windows "$kit")\\checks.txt" "$(windows "$results")" >/dev/null || true
summary=$(tr -d '\r' <"$results/summary.txt")
echo "$summary"

status=0
fail() { echo "windows_kit: $*"; status=1; }
grep -qE '^Machine: Wine ' <<<"$summary" || fail "the header does not name Wine"
grep -qE '^Not a release run: Wine' <<<"$summary" || fail "a run under Wine is not called no release run"
expected=$(sed -nE 's/^## ([0-9]+)\. (.+)$/ \1. \2/p' "$repo/docs/RELEASE-CHECKS.md")
listed=$(grep -E '^ [0-9]+\. ' <<<"$summary" | sed -E 's/^( [0-9]+\. .+): (passed|passed \(by hand: .+\)|failed: .+|not applicable here: .+|by hand)$/\1/')
[ "$listed" = "$expected" ] || fail "the check lines are not the numbered checks with a status of the allowed forms"
grep -qE '^ 3\. .*: not applicable here: Wine \([1-9][0-9]* Windows-only assertions? skipped' <<<"$summary" ||
  fail "check 3's Windows-only junction test is not counted as skipped"
grep -q '^x86_64: OXUnPackLUMO.exe, ntdll.dll, .*kernel32.dll' "$results/modules.log" ||
  fail "the debugger saw no modules of the launcher: $(tr -d '\r' <"$results/modules.log")"
grep -qx 'Not run: wine-i686 (no 32-bit here)' <<<"$summary" || fail "the program the kit skipped is not named"
grep -qE '^Tests by class: runs on both [0-9]+ .*; Wine-only [0-9]+ .*; Windows-only [0-9]+ ' <<<"$summary" ||
  fail "no counts per class"
[ "$(tail -n1 <<<"$summary")" = "${passed:-?} passed, 1 failed" ] ||
  fail "the closing line is not \"$passed passed, 1 failed\" (GoogleTest's count, and e2e without results)"

# What the kit's tests change of what stood before goes back: a backup copy overwritten in a
# folder then moved aside as an elevated run moves one, and a value of the product's key. The
# check's own set-up goes again by the kit's clean-up of a first snapshot.
sed 's/$/\r/' >"$results/put-back.cmd" <<'CMD'
@echo off
set "O=%ProgramData%\Ondrix"
"%~1" snapshot "%~2\as-found.txt"
if not exist "%O%\Temp\" mkdir "%O%\Temp"
>"%O%\Temp\Lumo00kit.exe" echo before
reg add "HKCU\Software\Ondrix Inc.\KitCheck" /v ImagePath /d before /f >nul
"%~1" snapshot "%~2\before.txt"
>"%O%\Temp\Lumo00kit.exe" echo the run's
move "%O%\Temp" "%O%\Temp.0123456789abcdef0123456789abcdef.old" >nul
mkdir "%O%\Temp"
>"%O%\Temp\Lumo00kit.exe" echo the new folder's
reg add "HKCU\Software\Ondrix Inc.\KitCheck" /v ImagePath /d after /f >nul
"%~1" clean "%~2\before.txt" >nul
"%~1" compare "%~2\before.txt"
type "%O%\Temp\Lumo00kit.exe"
reg query "HKCU\Software\Ondrix Inc.\KitCheck" /v ImagePath
"%~1" clean "%~2\as-found.txt" >nul
"%~1" compare "%~2\as-found.txt"
CMD
"$repo/scripts/wine" cmd /c "$(windows "$results")\\put-back.cmd" "$(windows "$kit")\\lumokit.exe" "$(windows "$results")" \
  </dev/null >"$results/put-back.log" 2>&1 || true
put_back=$(tr -d '\r' <"$results/put-back.log")
[ "$(grep -cx 'Machine state: as the kit found it.' <<<"$put_back")" = 2 ] && grep -qx before <<<"$put_back" &&
  grep -qE 'ImagePath +REG_SZ +before$' <<<"$put_back" || fail "what the tests changed was not put back: $put_back"
[ "$status" -eq 0 ] && echo ok
exit "$status"
