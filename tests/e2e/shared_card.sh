#!/usr/bin/env bash
# One card shared by two PyKCS11 applications and pulled while in use (see
# shared_card.py): another application's logout ends this one's login, a
# removal ends the sessions however it is seen, a card pulled and put back
# unseen is read anew.
. "$(dirname "$0")/e2e_lib.sh"
e2e_require_pykcs11
e2e_workdir
e2e_reader --image "$e2e_dir/card.img" --new -- \
  /usr/bin/python3 "$(dirname "$0")/shared_card.py" "$ZORAD_MODULE" ||
  e2e_fail "the shared card's picture went wrong"
echo "shared card: OK"
