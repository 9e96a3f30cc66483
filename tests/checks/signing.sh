#!/usr/bin/env bash
# A launcher packed by lumo-pack and signed with osslsigncode (a throwaway certificate made
# here) verifies with both tools, lists and extracts its payload (the JSON listing parsed
# and its hashes compared with sha256sum), catches a damaged copy, and when run under Wine
# extracts every entry and removes its work folder.
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
printf 'named apart from its file\n' >in/source-of-delta.txt
"$pack" pack --stub "$stub" --out packed.exe in/alpha.txt in/beta.bin in/gamma.dat delta.txt=in/source-of-delta.txt
packed_length=$(stat -c %s packed.exe)
[ $((packed_length % 8)) -eq 0 ] || fail "packed length $packed_length is not a multiple of 8"
# The packer wrote the PE checksum of the whole file: osslsigncode computes it apart.
osslsigncode verify packed.exe >unsigned.log 2>&1 || true
grep -q "PE checksum" unsigned.log || { cat unsigned.log; fail "osslsigncode shows no PE checksum"; }
! grep -qi "invalid PE checksum" unsigned.log || { cat unsigned.log; fail "the packed file's PE checksum is stale"; }

osslsigncode sign -certs cert.pem -key key.pem -n "Ondrix LUMO" -in packed.exe -out signed.exe >sign.log 2>&1 ||
  { cat sign.log; fail "osslsigncode sign failed"; }
osslsigncode verify -CAfile cert.pem signed.exe >verify.log 2>&1 || { cat verify.log; fail "the signature does not verify"; }
grep -q "Signature verification: ok" verify.log || { cat verify.log; fail "no 'Signature verification: ok'"; }

sha() { sha256sum "$1" | cut -d' ' -f1; }
"$pack" verify --expect "beta.bin=$(sha in/beta.bin)" --expect "delta.txt=$(sha in/source-of-delta.txt)" signed.exe ||
  fail "lumo-pack verify refused the signed file"
"$pack" list signed.exe >list.txt || { cat list.txt; fail "lumo-pack list refused the signed file"; }
cat list.txt
grep -qx "header offset: $(stat -c %s "$stub")" list.txt || fail "wrong header offset"
grep -q "^signed: certificate table of [0-9]* bytes at $packed_length\$" list.txt ||
  fail "the certificate table does not start at the packed file's end"
grep -qx "entries: 4" list.txt || fail "not four entries"
for entry in "7 alpha.txt alpha.txt" "150001 beta.bin beta.bin" "0 gamma.dat gamma.dat" "26 source-of-delta.txt delta.txt"; do
  set -- $entry
  grep -qxF "$1  $(sha in/$2)  $3" list.txt || fail "$3 is not listed with its size and SHA-256"
done

# The JSON listing, read by another parser: the hashes are the files', the offsets the file's.
"$pack" list --json signed.exe >list.json || fail "lumo-pack list --json failed"
python3 - "$stub" signed.exe list.json in <<'PY' || fail "the JSON listing does not match the file"
import hashlib, json, os, struct, sys
stub, signed, listing, inputs = sys.argv[1:]
data = open(signed, "rb").read()
doc = json.load(open(listing))
lfanew = struct.unpack_from("<I", data, 60)[0]
magic = struct.unpack_from("<H", data, lfanew + 24)[0]
table, size = struct.unpack_from("<II", data, lfanew + 24 + (96 if magic == 0x10B else 112) + 4 * 8)
assert doc["certificate_table"] == {"offset": table, "size": size}, doc["certificate_table"]
assert doc["bytes_after_certificate_table"] == len(data) - table - size == 0
assert doc["header_offset"] == doc["stub"]["size"] == os.path.getsize(stub)
assert doc["stub"]["machine"] == ("i386" if magic == 0x10B else "amd64") and doc["stub"]["file_version"]
names = {"alpha.txt": "alpha.txt", "beta.bin": "beta.bin", "gamma.dat": "gamma.dat", "delta.txt": "source-of-delta.txt"}
assert [e["name"] for e in doc["entries"]] == list(names), doc["entries"]
for e in doc["entries"]:
    body = open(os.path.join(inputs, names[e["name"]]), "rb").read()
    assert e["size"] == len(body) and e["sha256"] == hashlib.sha256(body).hexdigest(), e
    assert data[e["offset"]:e["offset"] + e["size"]] == body, e["name"]
PY

# Extracted from the signed file, every entry is the file that went in.
"$pack" extract signed.exe extracted >/dev/null || fail "lumo-pack extract failed"
for entry in "alpha.txt alpha.txt" "beta.bin beta.bin" "gamma.dat gamma.dat" "source-of-delta.txt delta.txt"; do
  set -- $entry
  cmp -s "in/$1" "extracted/$2" || fail "extracted $2 differs from what was packed"
done

# Damage after signing is caught: a flipped trailer byte, bytes appended, a wrong hash.
trailer_size_at=$((packed_length - 284 + 8))
python3 - "$trailer_size_at" <<'PY'
import sys
data = bytearray(open("signed.exe", "rb").read())
data[int(sys.argv[1])] ^= 1
open("flipped.exe", "wb").write(data)
PY
cp signed.exe appended.exe
printf 'junk' >>appended.exe
for bad in "flipped.exe" "appended.exe" "--expect beta.bin=$(sha in/alpha.txt) signed.exe"; do
  if "$pack" verify $bad 2>bad.log; then fail "lumo-pack verify passed $bad"; fi
  cat bad.log
done

# Run it under Wine with a private temp folder (TMP/TEMP of the launcher), so its log is its
# own; an elevated run (every run under Wine) works under the Windows temp folder and names
# that folder in its log.
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
for entry in "1 7 alpha.txt" "2 150001 beta.bin" "3 0 gamma.dat" "4 26 delta.txt"; do
  set -- $entry
  grep -Eq "UnPack count:$1 len:$2 File:.*\\\\(unpacklumo\\\\[0-9-]+|lumo-(n|[0-9]+)-[0-9a-f]{32})\\\\$3 " log.txt ||
    { cat log.txt; fail "$3 was not extracted"; }
done
grep -q "UnPack total 4 files\." log.txt || { cat log.txt; fail "no total line"; }
[ ! -e temp/unpacklumo ] || fail "the work folder was not removed"
# The folder of the first extracted entry.
folder_win=$(sed -n 's/.*)UnPack file name:\(.*\)\\[^\\]* ([0-9]*) (Last=.*/\1/p' log.txt | head -n1)
if [ -n "$folder_win" ]; then
  folder=$("$wine" winepath -u "$folder_win" 2>/dev/null | tr -d '\r')
  [ -n "$folder" ] && [ ! -e "$folder" ] || fail "the work folder $folder_win was not removed"
fi
echo ok
