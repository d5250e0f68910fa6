#!/usr/bin/env bash
# A GOST key's working life, each artefact checked by software this project
# did not write: zorad-tool has the card make a key pair and sign a
# certificate request; OpenSSL with its GOST engine verifies the request and
# a throw-away test CA issues the certificate; zorad-tool stores it on the
# token (a certificate for no key of the token is refused), where NSS
# certutil and GnuTLS p11tool list it; zorad-tool signs a document
# (detached CMS); OpenSSL verifies the signature and refuses the
# document changed by one byte. Documents of 1 byte, 1 MiB and 50 MiB are
# hashed by the tool, so each costs the card the same few commands (counted
# in the virtual card's command log); a signature that cannot be written
# whole leaves the old one. Every command is shown with its output.
. "$(dirname "$0")/e2e_lib.sh"
e2e_require openssl certutil modutil p11tool
[ -n "${ZORAD_TOOL:-}" ] || e2e_skip "zorad-tool is not built"
openssl engine gost >/dev/null 2>&1 || e2e_skip "OpenSSL's GOST engine is not installed"
e2e_workdir

cat >"$e2e_dir/inside.sh" <<'INSIDE'
set -eu
cd "$dir"
# step NAME COMMAND...: shows the command, keeps its output in NAME.txt.
step() {
  local name=$1
  shift
  echo "\$$(printf ' %q' "$@")"
  "$@" >"$name.txt" 2>&1 || { sed 's/^/  /' "$name.txt"; return 1; }
  sed 's/^/  /' "$name.txt"
}
tool() { "$ZORAD_TOOL" --pin-env USER_PIN "$@"; }
step ca-key openssl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A -out ca.key
step ca openssl req -engine gost -new -x509 -key ca.key -subj "/CN=Zorad e2e test CA" \
  -days 30 -out ca.pem
step keygen tool keygen --label signer --id 5151
step csr tool csr --key signer --subject "/CN=Zorad e2e signer/O=Zorad" --out req.pem
step req-verify openssl req -engine gost -in req.pem -verify -noout
step issue openssl x509 -engine gost -req -in req.pem -CA ca.pem -CAkey ca.key \
  -set_serial 0x5151 -days 30 -out signer.pem
! step no-cert tool sign-cms --key signer --in req.pem --out req.p7s
! step foreign tool import-cert --in ca.pem
step import tool import-cert --in signer.pem
step list tool list
mkdir nss
echo "$USER_PIN" >pin
step nss-db certutil -N -d sql:nss --empty-password
step nss-module modutil -force -dbdir sql:nss -add zorad -libfile "$ZORAD_MODULE"
step certutil certutil -L -h all -d sql:nss -f pin
step p11tool p11tool --provider "$ZORAD_MODULE" --list-all-certs
printf 'The parties agree.\n' >contract.txt
step sign-cms tool sign-cms --key signer --in contract.txt --out contract.p7s
step cms-verify openssl cms -verify -engine gost -inform DER -in contract.p7s \
  -content contract.txt -binary -CAfile ca.pem -out /dev/null
printf 'The parties agreE.\n' >changed.txt
! step cms-changed openssl cms -verify -engine gost -inform DER -in contract.p7s \
  -content changed.txt -binary -CAfile ca.pem -out /dev/null
sizes="1 1048576 52428800"
for size in $sizes; do head -c "$size" /dev/urandom >"doc$size"; done
# A full disk, as the file size limit makes it: the old signature stays.
cp contract.p7s kept.p7s
! step cms-full bash -c 'ulimit -f 1; trap "" XFSZ; exec "$@"' - "$ZORAD_TOOL" --pin-env USER_PIN \
  sign-cms --key signer --attached --in doc1048576 --out contract.p7s
cmp -s contract.p7s kept.p7s || { echo "the old signature was changed"; exit 1; }
if ls | grep -q '\.tmp'; then echo "a temporary file was left"; exit 1; fi
for size in $sizes; do
  before=$(grep -vc '^#' apdu.log)
  start=$(date +%s%N)
  step "cms$size" tool sign-cms --key signer --in "doc$size" --out "doc$size.p7s"
  echo "$size $(($(grep -vc '^#' apdu.log) - before)) $((($(date +%s%N) - start) / 1000000))" |
    tee -a commands.txt
  step "cms-verify$size" openssl cms -verify -engine gost -inform DER -in "doc$size.p7s" \
    -content "doc$size" -binary -CAfile ca.pem -out /dev/null
done
INSIDE
export USER_PIN=12345678 dir="$e2e_dir" ZORAD_MODULE ZORAD_TOOL
e2e_reader --image "$e2e_dir/card.img" --new --apdu-log "$e2e_dir/apdu.log" -- \
  bash "$e2e_dir/inside.sh" ||
  e2e_fail "the certificate life failed"

e2e_expect_line "$e2e_dir/req-verify.txt" "verify OK"
e2e_expect_line "$e2e_dir/no-cert.txt" "No certificate for the key 'signer' on the token"
e2e_expect_line "$e2e_dir/foreign.txt" "is for no key pair on the token"
e2e_expect_line "$e2e_dir/import.txt" "stored on the token as 'Zorad e2e signer' (id 5151)"
for line in "subject:    CN = Zorad e2e signer, O = Zorad" "issuer:     CN = Zorad e2e test CA" \
  "serial:     5151"; do
  e2e_expect_line "$e2e_dir/list.txt" "$line"
done
# u,u,u: NSS, logged in with the PIN file, pairs the certificate with the
# card's private key by its id.
grep -q "Zorad test token:Zorad e2e signer  *u,u,u" "$e2e_dir/certutil.txt" ||
  e2e_fail "certutil does not list the certificate with its private key"
for line in "Type: X.509 Certificate (GOST R 34.10-2001)" "Label: Zorad e2e signer" "ID: 51:51"; do
  e2e_expect_line "$e2e_dir/p11tool.txt" "$line"
done
e2e_expect_line "$e2e_dir/cms-verify.txt" "Verification successful"
e2e_expect_line "$e2e_dir/cms-changed.txt" "Verification failure"
e2e_expect_line "$e2e_dir/cms-full.txt" "Cannot write"
# size, card commands, milliseconds: a document of any size costs the card
# at most 40 commands more than one of 1 byte.
read -r _ one _ < <(head -n 1 "$e2e_dir/commands.txt")
while read -r size commands ms; do
  echo "sign-cms of $size bytes: $commands card commands, $ms ms"
  [ "$commands" -le $((one + 40)) ] || e2e_fail "$size bytes cost $commands card commands"
  e2e_expect_line "$e2e_dir/cms-verify$size.txt" "Verification successful"
done <"$e2e_dir/commands.txt"
e2e_check_image "$e2e_dir/card.img"
echo "certificate life: OK"
