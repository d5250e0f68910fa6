#!/usr/bin/env bash
# One client flow against the benchmark token, inside scripts/virtual-reader
# run with the card's command log on. Each counted step appends
# "ROW BEGIN END" to MARKS: the numbers of the log's commands before and
# after it. Setup steps (a new NSS database, the module added to it by
# modutil) run uncounted.
#
#   flow.sh FLOW MODULE TOOL APDU-LOG MARKS WORKDIR
#
# FLOW: tool-list, nss-open, nss-certs, nss-keys, p11tool-list,
# p11tool-login, pykcs11. Client output goes to WORKDIR/FLOW.out.
set -euo pipefail

flow=$1 module=$2 tool=$3 log=$4 marks=$5 work=$6
here=$(cd "$(dirname "$0")" && pwd)
pin=12345678
db="sql:$work/nssdb"
token="Zorad test token"
url="pkcs11:token=Zorad%20test%20token"
out="$work/$flow.out"

commands() { grep -c ' =>' "$log" || true; }

# counted ROW COMMAND...: COMMAND's card commands become row ROW.
counted() {
  local row=$1 begin
  shift
  begin=$(commands)
  "$@"
  printf '%s\t%s\t%s\n' "$row" "$begin" "$(commands)" >>"$marks"
}

# expect_lines PATTERN COUNT: the client listed what the token holds.
expect_lines() {
  local n
  n=$(grep -c -- "$1" "$out" || true)
  [ "$n" -eq "$2" ] ||
    { echo "flow $flow: $n lines with '$1' in its output, $2 expected" >&2; exit 1; }
}

new_nss_db() {
  mkdir -p "$work/nssdb"
  certutil -N -d "$db" --empty-password
  echo "$pin" >"$work/pin"
}

add_module() { modutil -dbdir "$db" -add zorad -libfile "$module" -force >/dev/null; }

case "$flow" in
  tool-list)
    counted tool-list "$tool" --module "$module" list >"$out"
    expect_lines '^  Object ' 30 ;;
  nss-open)
    # Without -h certutil lists the database's own certificates (none): the
    # count is what NSS asks of the token when an application starts.
    new_nss_db
    add_module
    counted nss-open certutil -L -d "$db" >"$out" ;;
  nss-certs)
    new_nss_db
    add_module
    counted nss-certs certutil -L -d "$db" -h all -f "$work/pin" >"$out"
    expect_lines "^$token:" 20 ;;
  nss-keys)
    new_nss_db
    add_module
    counted nss-keys certutil -K -d "$db" -h all -f "$work/pin" >"$out"
    expect_lines "flow key" 5 ;;
  p11tool-list)
    counted p11tool-list p11tool --provider "$module" --batch --list-all "$url" >"$out"
    expect_lines '^Object ' 30 ;;
  p11tool-login)
    counted p11tool-login env GNUTLS_PIN="$pin" \
      p11tool --provider "$module" --batch --login --list-all "$url" >"$out"
    # The private keys are listed, their public keys not.
    expect_lines '^Object ' 35 ;;
  pykcs11)
    /usr/bin/python3 "$here/pykcs11_flow.py" "$module" "$pin" "$log" "$marks" ;;
  *)
    echo "flow.sh: unknown flow $flow" >&2
    exit 2 ;;
esac
