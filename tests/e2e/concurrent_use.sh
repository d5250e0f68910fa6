#!/usr/bin/env bash
# Two processes use one card at once through the real pcscd, each creating,
# changing and deleting objects in a loop (concurrent_worker.py). Afterwards
# a third process finds exactly the objects the two kept, with their last
# values, and the card image's allocation tables and records are sound and
# hold the same objects.
. "$(dirname "$0")/e2e_lib.sh"
e2e_require_pykcs11
e2e_workdir
here=$(cd "$(dirname "$0")" && pwd)
rounds=${ZORAD_E2E_ROUNDS:-15}

cat >"$e2e_dir/inside.sh" <<'EOF'
set -eu
worker() { /usr/bin/python3 "$here/concurrent_worker.py" "$@"; }
worker setup "$ZORAD_MODULE"
worker work "$ZORAD_MODULE" alpha beta "$rounds" "$dir" >"$dir/alpha.log" 2>&1 &
alpha=$!
worker work "$ZORAD_MODULE" beta alpha "$rounds" "$dir" >"$dir/beta.log" 2>&1 &
beta=$!
status=0
wait "$alpha" || status=1
wait "$beta" || status=1
[ "$status" -eq 0 ] || { cat "$dir/alpha.log" "$dir/beta.log" >&2; exit 1; }
cat "$dir/alpha.log" "$dir/beta.log"
worker verify "$ZORAD_MODULE" "$dir" alpha beta
EOF
export dir="$e2e_dir" here rounds
e2e_reader --image "$e2e_dir/card.img" --new -- bash "$e2e_dir/inside.sh" ||
  e2e_fail "the two processes or the check after them failed"

e2e_check_image "$e2e_dir/card.img"
sed -n 's/^OBJECT [a-z]* [0-9]* [0-9]* //p' "$e2e_dir/card.img.objects" |
  LC_ALL=C sort >"$e2e_dir/image-labels.txt"
diff -u "$e2e_dir/expected-labels.txt" "$e2e_dir/image-labels.txt" ||
  e2e_fail "the card image holds other objects than the processes kept"
echo "two processes on one card: OK ($rounds rounds each)"
