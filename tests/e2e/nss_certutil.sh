#!/usr/bin/env bash
# NSS, as Firefox, Thunderbird and Chromium use it: modutil adds the module
# to a new database; certutil logs in with the user PIN from a password
# file, stores a throw-away certificate (made by openssl) on the token,
# lists it and the card's key pair (generated through PyKCS11), and deletes
# the certificate again.
. "$(dirname "$0")/e2e_lib.sh"
e2e_require modutil certutil openssl
e2e_require_pykcs11
e2e_workdir
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj "/CN=Zorad NSS" \
  -keyout "$e2e_dir/key.pem" -outform DER -out "$e2e_dir/cert.der" 2>/dev/null

cat >"$e2e_dir/inside.sh" <<'INSIDE'
set -eu
db="sql:$dir/nssdb" token="Zorad test token"
mkdir "$dir/nssdb" && echo 12345678 >"$dir/pin"
certutil -N -d "$db" --empty-password
modutil -dbdir "$db" -add zorad -libfile "$ZORAD_MODULE" -force >/dev/null
modutil -dbdir "$db" -list >"$dir/module.txt"
/usr/bin/python3 "$here/make_key_pair.py" "$ZORAD_MODULE" 12345678 "card key" 0A0B
certutil -A -d "$db" -h "$token" -f "$dir/pin" -n "nss cert" -t ,, -i "$dir/cert.der"
certutil -L -d "$db" -h all -f "$dir/pin" >"$dir/certs.txt"
certutil -K -d "$db" -h "$token" -f "$dir/pin" >"$dir/keys.txt"
certutil -D -d "$db" -f "$dir/pin" -n "$token:nss cert"
certutil -L -d "$db" -h all -f "$dir/pin" >"$dir/certs-after.txt"
INSIDE
here=$(cd "$(dirname "$0")" && pwd)
export dir="$e2e_dir" here
e2e_reader --image "$e2e_dir/card.img" --new -- bash "$e2e_dir/inside.sh" ||
  e2e_fail "NSS run failed"

e2e_expect_line "$e2e_dir/module.txt" "token: Zorad test token"
e2e_expect_line "$e2e_dir/certs.txt" "Zorad test token:nss cert"
e2e_expect_line "$e2e_dir/keys.txt" "card key"
! grep -q "nss cert" "$e2e_dir/certs-after.txt" || e2e_fail "the certificate is still listed"
e2e_check_image "$e2e_dir/card.img"
echo "NSS certutil: OK"
