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
#   plan=ok|remv|essential          the plan seen without the security suites (a folder given as
#                                   Dir::Etc::SourceParts naming none): one library stepped
#                                   back; and a removal; and an Essential package stepped back
cat >"$work/apt-get" <<'EOF'
#!/usr/bin/env bash
dir=$(dirname "$0")
echo "apt-get $*" >>"$dir/calls"
. "$dir/mode"
reduced=false simulate=false
while [ $# -gt 0 ]; do
  case "$1" in
    -o) [[ "$2" == Dir::Etc::SourceParts=* ]] && ! grep -rq -- -security "${2#*=}" && reduced=true; shift 2 ;;
    -s) simulate=true; shift ;;
    *) break ;;
  esac
done
if $reduced && [ "$1" = install ]; then
  $simulate || exit 0
  echo "Inst libgst [1.22.0-3+deb12u7] (1.22.0-3+deb12u6 Debian:12.15/oldstable [amd64])"
  echo "Inst wine32:i386 (8.0~repack-4 Debian:12.15/oldstable [i386])"
  [ "$plan" = remv ] && echo "Remv wine64 [8.0~repack-4]"
  [ "$plan" = essential ] && echo "Inst bash [5.2.15-2+b8] (5.2.15-2+b2 Debian:12.15/oldstable [amd64])"
  exit 0
fi
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
[ "$1" = "--print-architecture" ] && echo amd64
exit 0
EOF
cat >"$work/dpkg-query" <<'EOF'
#!/usr/bin/env bash
[ "${!#}" = bash ] && echo "yes required" || echo "no optional"
EOF
chmod +x "$work/apt-get" "$work/dpkg" "$work/dpkg-query"
# The machine's sources as the set-up reads them: a release and a security suite.
mkdir -p "$work/etc/parts"
printf 'Types: deb\nURIs: http://m/d\nSuites: bookworm\n\nTypes: deb\nURIs: http://m/s\nSuites: bookworm-security\n' \
  >"$work/etc/parts/debian.sources"

# Runs the set-up with the given mode and missing packages; the rest of the arguments go to it.
run_setup() {
  local mode=$1 missing=$2; shift 2
  echo "$mode" | tr ' ' '\n' >"$work/mode"
  rm -f "$work/calls" "$work/updated"
  touch "$work/calls"
  LUMO_OUT="$work/out" LUMO_SETUP_MISSING="$missing" LUMO_APT_GET="$work/apt-get" LUMO_DPKG="$work/dpkg" \
    LUMO_DPKG_QUERY="$work/dpkg-query" LUMO_APT_SOURCE_LIST="$work/etc/list" LUMO_APT_SOURCE_PARTS="$work/etc/parts" \
    LUMO_SETUP_STATE="$work/state" LUMO_SETUP_PAUSE=0 "$repo/scripts/setup" "$@" >"$work/out.txt" 2>&1
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
run_setup "update=fail combined=fail rest=ok wine32=fail plan=remv" "cmake wine32:i386" --implicit
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
run_setup "update=warn combined=fail rest=ok wine32=fail plan=remv" "cmake wine32:i386" --implicit
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

# The last fallback, wine32 from the release suites: a plan first, installed as planned, or
# refused when it removes or steps back what the system needs. Row: plan|refusal.
for row in "ok|" "remv|remove wine64" "essential|step back bash (yes required)"; do
  plan=${row%%|*} refusal=${row#*|}
  case="the release suites' fallback, plan=$plan"
  rm -rf "$work/out" "$work/state"
  run_setup "update=fail combined=fail rest=ok wine32=fail plan=$plan" "cmake wine32:i386" --implicit
  [ "$rc" -eq 0 ] || fail "exit $rc: $(cat "$work/out.txt")"
  wines='install --no-install-recommends --allow-downgrades'
  planned=$(grep -n -- "-s .*PreferencesParts=.* $wines wine64 wine32:i386 libwine:amd64\$" "$work/calls" | cut -d: -f1)
  installed=$(grep -n -- "$wines -y -qq --no-remove wine64 wine32:i386 libwine:amd64\$" "$work/calls" | cut -d: -f1)
  [ -n "$planned" ] || fail "no plan was made first: $(cat "$work/calls")"
  if [ -z "$refusal" ]; then
    [ -n "$installed" ] && [ "$planned" -lt "$installed" ] || fail "the plan was not installed: $(cat "$work/calls")"
    grep -q "stepped back to the release suites' versions: libgst 1.22.0-3+deb12u7 -> 1.22.0-3+deb12u6" "$work/out.txt" ||
      fail "the step back was not named: $(cat "$work/out.txt")"
    sed -n 2p "$work/state/release-suites" 2>/dev/null | grep -qx 'wine32 from the release suites' || fail "not recorded"
    [ ! -f "$stamp" ] || fail "a degraded set-up was recorded"
    # While the record stands, a later install sees the reduced sources too.
    run_setup "update=ok combined=ok rest=ok wine32=ok" "cmake"
    grep -q 'SourceParts=.* install .*--no-remove cmake$' "$work/calls" || fail "a later install saw the full sources"
  else
    [ -z "$installed" ] || fail "a refused plan was installed"
    grep -q "refused: the release suites' plan would $refusal" "$work/out.txt" || fail "no refusal: $(cat "$work/out.txt")"
    [ ! -f "$work/state/release-suites" ] && [ -f "$stamp" ] || fail "recorded as installed"
  fi
done

# The sources the fallback hands to apt, without security suites. Row: name, expected output
# (each file's name, then its text), input files (list = sources.list, parts/NAME) and texts.
reduce_case() {
  local name=$1 expected=$2 got
  shift 2
  rm -rf "$work/src" "$work/reduced"
  mkdir -p "$work/src/parts" "$work/reduced"
  while [ $# -gt 1 ]; do printf "$2" >"$work/src/$1"; shift 2; done
  python3 "$repo/tools/setup/reduce_apt_sources.py" "$work/src/list" "$work/src/parts" "$work/reduced" >/dev/null
  got=$(cd "$work/reduced" && for f in *; do [ -e "$f" ] && printf '%s:\n%s\n' "$f" "$(cat "$f")"; done)
  [ "$got" = "$(printf "$expected")" ] || { case="reduced sources: $name"; fail "got:"$'\n'"$got"; }
}
reduce_case "deb822, the security suite among others, Architectures and Signed-By kept" \
  'a.sources:\nTypes: deb\nURIs: http://m/d\nSuites: bookworm bookworm-updates\nArchitectures: amd64 i386\nSigned-By: /k.gpg' \
  parts/a.sources 'Types: deb\nURIs: http://m/d\n# a note\nSuites: bookworm bookworm-security bookworm-updates\nArchitectures: amd64 i386\nSigned-By: /k.gpg\n'
reduce_case "deb822, a security paragraph, a disabled one, a key written inline" \
  'b.sources:\nTypes: deb\nURIs: http://m/d\nSuites: bookworm\nSigned-By:\n -----BEGIN PGP PUBLIC KEY BLOCK-----\n .\n abc' \
  parts/b.sources 'Types: deb\nURIs: http://m/s\nSuites: bookworm-security\n\nTypes: deb\nURIs: http://m/d\nSuites: bookworm\nSigned-By:\n -----BEGIN PGP PUBLIC KEY BLOCK-----\n .\n abc\n\nEnabled: no\nTypes: deb\nURIs: http://m/x\nSuites: bookworm\n'
reduce_case "one-line entries with options, in sources.list and in a part" \
  'c.list:\ndeb [arch=amd64 signed-by=/k.gpg] http://m/d bookworm-updates main\nsources-list.list:\ndeb http://m/d bookworm main' \
  list 'deb http://m/d bookworm main # the release\ndeb http://m/s bookworm-security main\n' \
  parts/c.list 'deb [arch=amd64 signed-by=/k.gpg] http://m/d bookworm-updates main\ndeb [ signed-by=/k.gpg ] http://m/s bookworm-security main\n'
reduce_case "names apt passes over" \
  'ok.list:\ndeb http://m/d bookworm main' \
  parts/ok.list 'deb http://m/d bookworm main\n' parts/x.list.disabled-by-farm 'deb http://m/o bookworm main\n' \
  'parts/bad name.list' 'deb http://m/o bookworm main\n'

[ "$status" -eq 0 ] && echo ok
exit "$status"
