#!/usr/bin/env bash
# GnuTLS's p11tool with the shipped module as its provider: it lists the
# token, initialises it and sets the user PIN, writes a public and a private
# certificate (a GOST R 34.10-2001 certificate made by certtool), and lists
# the objects without and with login (--login, PIN from GNUTLS_PIN). The key
# pair comes from the card through PyKCS11, since p11tool cannot ask for a
# GOST key pair.
. "$(dirname "$0")/e2e_lib.sh"
e2e_require p11tool certtool
e2e_require_pykcs11
e2e_workdir
here=$(cd "$(dirname "$0")" && pwd)

cat >"$e2e_dir/cert.template" <<'EOF'
cn = "Zorad e2e"
serial = 7
expiration_days = 30
signing_key
EOF
certtool --generate-privkey --key-type gost01 --outfile "$e2e_dir/key.pem" 2>/dev/null
certtool --generate-self-signed --load-privkey "$e2e_dir/key.pem" \
  --template "$e2e_dir/cert.template" --outfile "$e2e_dir/cert.pem" 2>/dev/null

cat >"$e2e_dir/inside.sh" <<'EOF'
set -eu
p11() { p11tool --provider "$ZORAD_MODULE" --batch "$@"; }
token="pkcs11:token=p11tool%20token"
p11 --list-tokens >"$dir/tokens.txt"
p11 --initialize --label "p11tool token" "pkcs11:token=Zorad%20test%20token"
p11 --initialize-pin "$token"
/usr/bin/python3 "$here/make_key_pair.py" "$ZORAD_MODULE" "$GNUTLS_PIN" "card key" 0A0B
p11 --login --write --load-certificate "$dir/cert.pem" --label "public cert" --id 0102 "$token"
p11 --login --write --mark-private --load-certificate "$dir/cert.pem" --label "private cert" \
  --id 0103 "$token"
p11 --list-tokens >"$dir/tokens-after.txt"
p11 --list-all "$token" >"$dir/public.txt"
p11 --list-all-certs "$token" >"$dir/certs.txt"
p11 --login --list-all "$token" >"$dir/all.txt"
GNUTLS_PIN=00000000 p11 --login --list-all "$token" >"$dir/wrong-pin.txt" 2>&1 && exit 3
exit 0
EOF
export GNUTLS_SO_PIN=87654321 GNUTLS_PIN=24681357 dir="$e2e_dir" here
e2e_reader --image "$e2e_dir/card.img" --new -- bash "$e2e_dir/inside.sh" ||
  e2e_fail "p11tool run failed"

for line in "Label: Zorad test token" "Manufacturer: Corvantix" "Model: Zorad 2.1" \
  "Serial: 0123456789ABCD" "Flags: RNG, Requires login"; do
  e2e_expect_line "$e2e_dir/tokens.txt" "$line"
done
e2e_expect_line "$e2e_dir/tokens-after.txt" "Label: p11tool token"
# Without login: the public certificate only.
e2e_expect_line "$e2e_dir/certs.txt" "Label: public cert"
e2e_expect_line "$e2e_dir/public.txt" "Label: public cert"
e2e_expect_line "$e2e_dir/public.txt" "Type: X.509 Certificate (GOST R 34.10-2001)"
! grep -q "private cert\|card key" "$e2e_dir/public.txt" || e2e_fail "private objects without login"
# With login: the private certificate and the card's private key too.
for line in "Label: public cert" "Label: private cert" "Flags: CKA_PRIVATE" "Type: Private key" \
  "Label: card key" "ID: 0a:0b"; do
  e2e_expect_line "$e2e_dir/all.txt" "$line"
done
e2e_check_image "$e2e_dir/card.img"
echo "p11tool listing: OK"
