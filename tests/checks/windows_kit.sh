#!/usr/bin/env bash
# The release kit assembles, and its summary has its shape: the kit's Windows-side tests run
# under Wine on a small filter, plus a program that left no XML, summed up by the kit's summary
# program. Expected: Wine named as no release run, one line per numbered check of
# docs/RELEASE-CHECKS.md in order with a status of the allowed forms, the counts per class, and
# "N passed, 1 failed" with GoogleTest's own count.
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
printf 'wine-x86_64 exit code 0\r\ne2e exit code 3\r\n' >"$results/runs.txt"
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
grep -qE '^Tests by class: runs on both [0-9]+ .*; Wine-only [0-9]+ .*; Windows-only [0-9]+ ' <<<"$summary" ||
  fail "no counts per class"
[ "$(tail -n1 <<<"$summary")" = "${passed:-?} passed, 1 failed" ] ||
  fail "the closing line is not \"$passed passed, 1 failed\" (GoogleTest's count, and e2e without results)"
[ "$status" -eq 0 ] && echo ok
exit "$status"
