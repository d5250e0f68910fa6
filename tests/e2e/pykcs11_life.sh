#!/usr/bin/env bash
# PyKCS11 drives a new card's whole life with the shipped module (see
# token_life.py), then a second reader run on the same card image finds the
# token, its PINs, objects and keys again; the object store on the image is
# sound after each run.
. "$(dirname "$0")/e2e_lib.sh"
e2e_require_pykcs11
e2e_workdir
here=$(cd "$(dirname "$0")" && pwd)

e2e_reader --image "$e2e_dir/card.img" --new -- \
  /usr/bin/python3 "$here/token_life.py" life "$ZORAD_MODULE" "$e2e_dir/state.json"
e2e_check_image "$e2e_dir/card.img"
e2e_expect_line "$e2e_dir/card.img.objects" "OBJECT public"
e2e_expect_line "$e2e_dir/card.img.objects" "OBJECT private"

e2e_reader --image "$e2e_dir/card.img" -- \
  /usr/bin/python3 "$here/token_life.py" reopen "$ZORAD_MODULE" "$e2e_dir/state.json"
e2e_check_image "$e2e_dir/card.img"
echo "token life and card image: OK"
