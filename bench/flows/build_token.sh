#!/usr/bin/env bash
# Fills a new card with the benchmark token, inside scripts/virtual-reader
# run (the card is new, with the default PINs):
#   5 GOST R 34.10-2001 key pairs generated on the card (10 private objects),
#   20 public X.509 GOST certificates of about 720 bytes signed by a
#      throw-away CA (the first 5 for the card's own keys, with their IDs),
#   10 public data objects.
#
#   build_token.sh MODULE TOOL WORKDIR
# WORKDIR receives the CA, the certificates and their keys.
set -euo pipefail

module=$1 tool=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
pin=12345678
mkdir -p "$work"

# certificate NUMBER KEY-OPTION KEY-FILE: cert<NUMBER>.der, signed by the CA.
certificate() {
  local n=$1 key_option=$2 key=$3 name
  name=$(printf 'user%02d' "$n")
  cat >"$work/cert$n.template" <<EOF
cn = "Zorad flow $name"
organization = "Corvantix"
unit = "Card benchmark"
locality = "Novosibirsk"
country = RU
email = "$name@flows.example"
serial = $((100 + n))
expiration_days = 365
signing_key
tls_www_client
email_protection_key
crl_dist_points = "http://pki.flows.example/crl/zorad-flows-ca.crl"
ca_issuers_uri = "http://pki.flows.example/ca/zorad-flows-ca.crt"
EOF
  certtool --generate-certificate "$key_option" "$key" --load-ca-certificate "$work/ca.pem" \
    --load-ca-privkey "$work/ca.key" --template "$work/cert$n.template" \
    --outfile "$work/cert$n.pem" 2>/dev/null
  certtool --certificate-info --infile "$work/cert$n.pem" --outder \
    >"$work/$(printf 'cert%02d.der' "$n")"
}

certtool --generate-privkey --key-type gost01 --outfile "$work/ca.key" 2>/dev/null
cat >"$work/ca.template" <<'EOF'
cn = "Zorad Flows Test CA"
organization = "Corvantix"
country = RU
serial = 1
expiration_days = 3650
ca
cert_signing_key
crl_signing_key
EOF
certtool --generate-self-signed --load-privkey "$work/ca.key" --template "$work/ca.template" \
  --outfile "$work/ca.pem" 2>/dev/null

/usr/bin/python3 "$here/flow_token.py" keys "$module" "$pin"
for n in 1 2 3 4 5; do
  ZORAD_FLOW_PIN=$pin "$tool" --module "$module" --pin-env ZORAD_FLOW_PIN \
    export-pubkey --key "flow key $n" --pem --out "$work/key$n.pub.pem" >/dev/null
  certificate "$n" --load-pubkey "$work/key$n.pub.pem"
done
for n in $(seq 6 20); do
  certtool --generate-privkey --key-type gost01 --outfile "$work/key$n.pem" 2>/dev/null
  certificate "$n" --load-privkey "$work/key$n.pem"
done
/usr/bin/python3 "$here/flow_token.py" objects "$module" "$pin" "$work"
