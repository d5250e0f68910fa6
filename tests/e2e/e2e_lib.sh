# Sourced by the end-to-end test scripts. ctest gives them, in the
# environment: ZORAD_SOURCE_DIR, ZORAD_BUILD_DIR, ZORAD_MODULE (the shipped
# zorad_pkcs11.so), ZORAD_VCARD_BIN (zorad-vcard and zorad-pcsc-probe) and
# ZORAD_E2E_BIN (this folder's programs).
#
# Each test runs its client inside `scripts/virtual-reader run`: a private
# mount, network and process namespace with its own pcscd, the vpcd reader
# and a virtual card kept in an image in a fresh temporary folder. A test
# that cannot have that stack reports itself skipped (exit 77).
set -eu

e2e_skip_code=77
e2e_reader_script="$ZORAD_SOURCE_DIR/scripts/virtual-reader"
export ZORAD_VIRTUAL_READER="$e2e_reader_script"

e2e_skip() {
  echo "SKIPPED: $*"
  exit "$e2e_skip_code"
}

e2e_fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# e2e_require COMMAND...: the real stack and each named command, else skip.
e2e_require() {
  [ "$(id -u)" -eq 0 ] || e2e_skip "not root: the virtual reader needs namespaces"
  command -v pcscd >/dev/null || e2e_skip "pcscd is not installed"
  [ -e /usr/lib/pcsc/drivers/serial/libifdvpcd.so ] || e2e_skip "the vpcd driver is not installed"
  unshare --mount --net --propagation private true 2>/dev/null ||
    e2e_skip "mount and network namespaces are unavailable"
  local c
  for c in "$@"; do
    command -v "$c" >/dev/null || e2e_skip "$c is not installed"
  done
}

e2e_require_pykcs11() {
  e2e_require /usr/bin/python3
  /usr/bin/python3 -c "import PyKCS11" 2>/dev/null || e2e_skip "python3-pykcs11 is not installed"
}

# A fresh folder for the card image and the test's files, removed at exit.
e2e_workdir() {
  e2e_dir=$(mktemp -d "${TMPDIR:-/tmp}/zorad-e2e.XXXXXX")
  trap 'rm -rf "$e2e_dir"' EXIT
}

# Run first inside the reader's namespace. vpcd writes each frame to the card
# daemon in two pieces, and the second waits for the first to be
# acknowledged; with delayed acknowledgements every APDU then waits ~40 ms.
# Quick acknowledgements on the namespace's own loopback routes remove that
# wait (about 50 ms to well under 1 ms per APDU). Only inside a network
# namespace of our own: the machine's routes are never touched.
e2e_outside_net=$(readlink /proc/self/ns/net)
export e2e_outside_net
e2e_prologue='
if [ "$(readlink /proc/self/ns/net)" != "$e2e_outside_net" ]; then
  for dst in 127.0.0.0/8 127.0.0.1; do
    ip route change local $dst dev lo table local proto kernel scope host src 127.0.0.1 \
      quickack 1 || true
  done
fi
exec "$@"'

# e2e_reader [CARD OPTIONS] -- COMMAND...: COMMAND against the virtual card.
e2e_reader() {
  local options=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    options+=("$1")
    shift
  done
  shift
  "$e2e_reader_script" run --bin "$ZORAD_VCARD_BIN" --timeout 30 "${options[@]}" -- \
    bash -c "$e2e_prologue" e2e-inside "$@"
}

# The token object store of the card image is sound (see image_check.cpp);
# its object lines go to "$1.objects".
e2e_check_image() {
  "$ZORAD_E2E_BIN/zorad-e2e-image-check" "$1" >"$1.objects" ||
    { cat "$1.objects" >&2; e2e_fail "the card image $1 is not sound"; }
}

# e2e_expect_line FILE TEXT: FILE has a line containing TEXT.
e2e_expect_line() {
  grep -qF -- "$2" "$1" || { cat "$1" >&2; e2e_fail "no line with '$2' in $(basename "$1")"; }
}
