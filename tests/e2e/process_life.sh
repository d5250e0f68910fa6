#!/usr/bin/env bash
# The shipped module in real processes: a fork() child beside its logged-in
# parent (process_life.py); another application's card left without a reset
# (the APDU log notes each); no trace setting taken from the environment by
# a set-group-ID program (the module announces a trace file on stderr).
. "$(dirname "$0")/e2e_lib.sh"
e2e_require_pykcs11
[ -x "${ZORAD_TOOL:-}" ] || e2e_skip "zorad-tool is not built"
e2e_workdir

e2e_reader --image "$e2e_dir/card.img" --new -- \
  /usr/bin/python3 "$(dirname "$0")/process_life.py" "$ZORAD_MODULE" ||
  e2e_fail "the fork() child or its logged-in parent failed"

e2e_reader --image "$e2e_dir/other.img" --blank --apdu-log "$e2e_dir/other.log" -- \
  "$ZORAD_TOOL" --module "$ZORAD_MODULE" slots >"$e2e_dir/slots.txt"
e2e_expect_line "$e2e_dir/slots.txt" "no card"
e2e_expect_line "$e2e_dir/other.log" "00 A4 04"
! grep "# reset" "$e2e_dir/other.log" || e2e_fail "the other application's card was reset"

cp "$ZORAD_TOOL" "$e2e_dir/setgid-tool"
chgrp nogroup "$e2e_dir/setgid-tool" && chmod g+s "$e2e_dir/setgid-tool"
export ZORAD_PKCS11_TRACEMODE=0x3F TMPDIR="$e2e_dir"
"$ZORAD_TOOL" --module "$ZORAD_MODULE" slots >/dev/null 2>"$e2e_dir/plain.err" || true
"$e2e_dir/setgid-tool" --module "$ZORAD_MODULE" slots >/dev/null 2>"$e2e_dir/setgid.err" || true
e2e_expect_line "$e2e_dir/plain.err" "trace file $e2e_dir/zor"
! grep "trace file" "$e2e_dir/setgid.err" || e2e_fail "a set-group-ID program traced"
echo "fork child, another application's card, privileged process: OK"
