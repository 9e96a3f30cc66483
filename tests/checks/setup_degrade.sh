#!/usr/bin/env bash
# scripts/setup on a mirror's bad day: against a stand-in apt-get and dpkg that fail in each
# of the ways seen in the field, the set-up ends with everything but wine32 installed and one
# clear line, and stops only when the packages without wine32 cannot be installed. The real
# package lists are never touched: the missing packages and the commands are fed in.
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL ($case): $*"; status=1; }

# The stand-ins log every call to $work/calls and behave as $work/mode says:
#   update=ok|fail|warn|fail-once   index update: clean, exit 100, exit 0 with a warning,
#                                   or exit 100 the first time only
#   combined=ok|fail|dpkg           an install naming wine32 among others
#   rest=ok|fail                    an install without wine32
#   wine32=ok|fail                  wine32 alone
cat >"$work/apt-get" <<'EOF'
#!/usr/bin/env bash
dir=$(dirname "$0")
echo "apt-get $*" >>"$dir/calls"
. "$dir/mode"
case "$1" in
  update)
    case "$update" in
      ok) exit 0 ;;
      warn) echo "W: Failed to fetch http://mirror/i386/Packages  Temporary failure"; exit 0 ;;
      fail-once) if [ ! -f "$dir/updated" ]; then touch "$dir/updated"; echo "E: Failed to fetch http://mirror/i386/Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?"; exit 100; fi; exit 0 ;;
      fail) echo "E: Failed to fetch http://mirror/i386/Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?"; exit 100 ;;
    esac ;;
  install)
    shift
    names=" $* "
    if [[ "$names" == *" wine32:i386 "* && "$names" == *" cmake "* ]]; then what=$combined
    elif [[ "$names" == *" wine32:i386 "* ]]; then what=$wine32
    else what=$rest; fi
    case "$what" in
      ok) exit 0 ;;
      dpkg) echo "E: dpkg was interrupted, you must manually run 'dpkg --configure -a' to correct the problem."; exit 100 ;;
      *) echo "E: Unable to correct problems, you have held broken packages."; exit 100 ;;
    esac ;;
esac
exit 0
EOF
cat >"$work/dpkg" <<'EOF'
#!/usr/bin/env bash
dir=$(dirname "$0")
echo "dpkg $*" >>"$dir/calls"
[ "$1" = "--print-foreign-architectures" ] && echo i386
exit 0
EOF
chmod +x "$work/apt-get" "$work/dpkg"

# Runs the set-up with the given mode and missing packages; the rest of the arguments go to it.
run_setup() {
  local mode=$1 missing=$2; shift 2
  echo "$mode" | tr ' ' '\n' >"$work/mode"
  rm -f "$work/calls" "$work/updated"
  touch "$work/calls"
  LUMO_OUT="$work/out" LUMO_SETUP_MISSING="$missing" LUMO_APT_GET="$work/apt-get" LUMO_DPKG="$work/dpkg" \
    LUMO_SETUP_PAUSE=0 "$repo/scripts/setup" "$@" >"$work/out.txt" 2>&1
  rc=$?
}
calls() { grep -c -- "$1" "$work/calls"; }
stamp="$work/out/setup-degraded"

case="a healthy mirror"
rm -rf "$work/out"
run_setup "update=ok combined=ok rest=ok wine32=ok" "cmake wine32:i386" --implicit
[ "$rc" -eq 0 ] || fail "exit $rc"
[ ! -f "$stamp" ] || fail "a degraded set-up was recorded"
[ "$(calls 'install')" -eq 1 ] || fail "not one install call: $(cat "$work/calls")"

case="the index update keeps failing"
run_setup "update=fail combined=fail rest=ok wine32=fail" "cmake wine32:i386" --implicit
[ "$rc" -eq 0 ] || fail "exit $rc: $(cat "$work/out.txt")"
[ "$(calls 'apt-get update')" -eq 3 ] || fail "the update was not tried three times"
grep -q 'install .*--no-remove cmake$' "$work/calls" || fail "everything but wine32 was not installed alone"
grep -q 'install .*--no-remove wine32:i386$' "$work/calls" || fail "wine32 was not tried alone with --no-remove"
sed -n 2p "$stamp" 2>/dev/null | grep -q '^the package index could not be updated: E: Failed to fetch' || fail "no record with the reason"
grep -q 'wine32 is not installed (the package index could not be updated' "$work/out.txt" || fail "no line naming the cause"
if [ ! -x /usr/lib/wine/wine ]; then
  # The 32-bit probe, with wine32 missing, names the set-up's reason and not the kernel's.
  line=$(LUMO_OUT="$work/out" LUMO_SETUP_MISSING="wine32:i386" LUMO_APT_GET="$work/apt-get" \
         LUMO_DPKG="$work/dpkg" "$repo/scripts/wine" --probe-i686 2>&1)
  [[ "$line" == "wine32 is not installed (the package index could not be updated: E: Failed to fetch"* ]] ||
    fail "the probe says: $line"
fi

case="later calls of the other scripts within the hour"
run_setup "update=ok combined=ok rest=ok wine32=ok" "wine32:i386" --implicit
[ "$rc" -eq 0 ] || fail "exit $rc"
[ ! -s "$work/calls" ] || fail "apt ran again: $(cat "$work/calls")"
run_setup "update=ok combined=ok rest=ok wine32=ok" "cmake wine32:i386" --implicit
grep -q 'install .*--no-remove cmake$' "$work/calls" && [ "$(calls 'wine32')" -eq 0 ] ||
  fail "a newly missing package was not installed alone: $(cat "$work/calls")"

case="an explicit set-up tries wine32 again"
run_setup "update=ok combined=ok rest=ok wine32=ok" "wine32:i386"
[ "$rc" -eq 0 ] && [ "$(calls 'install .*wine32:i386')" -eq 1 ] || fail "wine32 not tried: $(cat "$work/calls")"
[ ! -f "$stamp" ] || fail "the record stayed after a success"

case="an hour later the other scripts try again"
{ echo $(( $(date +%s) - 4000 )); echo "the package index could not be updated: E: old"; } >"$stamp"
run_setup "update=ok combined=ok rest=ok wine32=ok" "wine32:i386" --implicit
[ "$(calls 'install .*wine32:i386')" -eq 1 ] || fail "wine32 not tried again: $(cat "$work/calls")"

case="a clean update whose index cannot resolve wine32"
rm -rf "$work/out"
run_setup "update=warn combined=fail rest=ok wine32=fail" "cmake wine32:i386" --implicit
[ "$rc" -eq 0 ] || fail "exit $rc"
[ "$(calls 'apt-get update')" -eq 1 ] || fail "a clean update was retried"
sed -n 2p "$stamp" 2>/dev/null | grep -q '^the package index offers no installable wine32:i386: E: ' || fail "no record with the reason"

case="an update that fails once"
rm -rf "$work/out"
run_setup "update=fail-once combined=ok rest=ok wine32=ok" "cmake wine32:i386" --implicit
[ "$rc" -eq 0 ] && [ "$(calls 'apt-get update')" -eq 2 ] && [ ! -f "$stamp" ] || fail "exit $rc, $(cat "$work/calls")"

case="dpkg died mid-way"
run_setup "update=ok combined=dpkg rest=ok wine32=ok" "cmake wine32:i386" --implicit
[ "$rc" -eq 0 ] || fail "exit $rc"
mended=$(grep -n -- 'dpkg --configure -a' "$work/calls" | head -n1 | cut -d: -f1)
next=$(grep -n 'no-remove cmake$' "$work/calls" | head -n1 | cut -d: -f1)
[ -n "$mended" ] && [ -n "$next" ] && [ "$mended" -lt "$next" ] || fail "dpkg was not mended before the next call"
[ ! -f "$stamp" ] || fail "wine32 was installable, yet a degraded set-up was recorded"

case="the packages without wine32 cannot be installed"
rm -rf "$work/out"
run_setup "update=ok combined=fail rest=fail wine32=ok" "cmake wine32:i386" --implicit
[ "$rc" -eq 1 ] || fail "exit $rc instead of 1"
grep -q 'setup: apt-get install failed: E: Unable to correct problems' "$work/out.txt" || fail "apt's error not shown"
[ "$(calls 'install .*--no-remove wine32:i386$')" -eq 0 ] || fail "wine32 was tried after the others failed"

[ "$status" -eq 0 ] && echo ok
exit "$status"
