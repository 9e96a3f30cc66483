#!/usr/bin/env bash
# A launcher packed by lumo-pack and signed with osslsigncode (a throwaway certificate made
# here) verifies, still lists its payload, and when run under Wine extracts every entry and
# removes its work folder.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
out=${LUMO_OUT:-$repo/out}
pack="$out/native/lumo-pack"
stub="$out/win64/OXUnPackLUMO.exe"
work="$out/signing-check"
rm -rf "$work"
mkdir -p "$work/in"
cd "$work"

fail() { echo "signing: $*" >&2; exit 1; }

openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
  -subj "/CN=LUMO throwaway test signer" >/dev/null 2>&1 || fail "openssl could not make a certificate"

printf 'alpha\r\n' >in/alpha.txt
head -c 150001 /dev/urandom >in/beta.bin
: >in/gamma.dat
"$pack" pack --stub "$stub" --out packed.exe in/alpha.txt in/beta.bin in/gamma.dat
packed_length=$(stat -c %s packed.exe)
[ $((packed_length % 8)) -eq 0 ] || fail "packed length $packed_length is not a multiple of 8"

osslsigncode sign -certs cert.pem -key key.pem -n "Ondrix LUMO" -in packed.exe -out signed.exe >sign.log 2>&1 ||
  { cat sign.log; fail "osslsigncode sign failed"; }
osslsigncode verify -CAfile cert.pem signed.exe >verify.log 2>&1 || { cat verify.log; fail "the signature does not verify"; }
grep -q "Signature verification: ok" verify.log || { cat verify.log; fail "no 'Signature verification: ok'"; }

"$pack" list signed.exe >list.txt || { cat list.txt; fail "lumo-pack list refused the signed file"; }
cat list.txt
grep -qx "header offset: $(stat -c %s "$stub")" list.txt || fail "wrong header offset"
grep -q "^signed: certificate table of [0-9]* bytes at $packed_length\$" list.txt ||
  fail "the certificate table does not start at the packed file's end"
grep -qx "entries: 3" list.txt || fail "not three entries"
grep -qx "7  alpha.txt" list.txt || fail "alpha.txt missing"
grep -qx "150001  beta.bin" list.txt || fail "beta.bin missing"
grep -qx "0  gamma.dat" list.txt || fail "gamma.dat missing"

# Run it under Wine with a private temp folder (TMP/TEMP of the launcher), so its log and
# work folder are its own.
wine="$repo/scripts/wine"
mkdir -p temp
temp_win=$("$wine" winepath -w "$work/temp" 2>/dev/null | tr -d '\r')
exe_win=$("$wine" winepath -w "$work/signed.exe" 2>/dev/null | tr -d '\r')
[ -n "$temp_win" ] && [ -n "$exe_win" ] || fail "winepath failed"
timeout 300 "$wine" cmd /c "set TMP=$temp_win&& set TEMP=$temp_win&& $exe_win" >run.log 2>&1 ||
  { cat run.log; fail "the signed launcher did not end in time"; }
log=$(ls temp/unpack*.log 2>/dev/null | head -n1)
[ -n "$log" ] || fail "the launcher wrote no log into its temp folder"
iconv -f UTF-16LE -t UTF-8 "$log" | tr -d '\r' >log.txt
sign_size=$(grep -o 'Sign Size:[0-9-]*' log.txt | head -n1 | cut -d: -f2)
[ "${sign_size:-0}" -gt 0 ] || { cat log.txt; fail "the launcher did not see its signature"; }
for entry in "1 7 alpha.txt" "2 150001 beta.bin" "3 0 gamma.dat"; do
  set -- $entry
  grep -q "UnPack count:$1 len:$2 File:.*unpacklumo\\\\[0-9-]*\\\\$3 " log.txt || { cat log.txt; fail "$3 was not extracted"; }
done
grep -q "UnPack total 3 files\." log.txt || { cat log.txt; fail "no total line"; }
[ ! -e temp/unpacklumo ] || fail "the work folder was not removed"
echo ok
