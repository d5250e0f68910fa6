#!/usr/bin/env bash
# valgrind memcheck over a whole token life (life_client.cpp) with the
# shipped module on the real stack: no memory error anywhere and no
# definitely lost block. valgrind.supp holds only what pcsc-lite, glibc or
# libgcrypt own; nothing of the module is ever suppressed.
. "$(dirname "$0")/e2e_lib.sh"
e2e_require valgrind
e2e_workdir
here=$(cd "$(dirname "$0")" && pwd)
log="$e2e_dir/valgrind.log"
valgrind_errors=99

status=0
e2e_reader --image "$e2e_dir/card.img" --new -- \
  valgrind --tool=memcheck --error-exitcode=$valgrind_errors --leak-check=full \
  --show-leak-kinds=definite --errors-for-leak-kinds=definite --track-origins=yes \
  --keep-debuginfo=yes --num-callers=30 --suppressions="$here/valgrind.supp" \
  --log-file="$log" "$ZORAD_E2E_BIN/zorad-e2e-client" "$ZORAD_MODULE" || status=$?

grep -q "ERROR SUMMARY: 0 errors" "$log" && [ "$status" -eq 0 ] || {
  cat "$log" >&2
  [ "$status" -eq $valgrind_errors ] && e2e_fail "valgrind found errors or definite leaks"
  e2e_fail "the client failed under valgrind (status $status)"
}
grep -E "ERROR SUMMARY|definitely lost|in use at exit" "$log" | sed 's/^==[0-9]*== //'
echo "valgrind token life: OK"
