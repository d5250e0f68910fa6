"""Helpers shared by the end-to-end clients that drive zorad_pkcs11.so
through PyKCS11 on the real PC/SC stack (inside scripts/virtual-reader run)."""

import ctypes
import ctypes.util
import os
import signal
import subprocess
import sys
import traceback

import PyKCS11 as P

SO_PIN = "87654321"  # a new card's security officer PIN
USER_PIN = "31415926"  # the user PIN the tests set
# OID of the CryptoPro A parameter set (the card's parameter set 2), DER.
CRYPTOPRO_A = bytes.fromhex("06072A850302022301")
GOST_MECHANISMS = (P.CKM_GOSTR3410_KEY_PAIR_GEN, P.CKM_GOSTR3410,
                   P.CKM_GOSTR3410_WITH_GOSTR3411)


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def expect_ckr(expected, call, *args):
    """Runs call(*args) and checks that it fails with `expected`."""
    try:
        call(*args)
    except P.PyKCS11Error as e:
        check(e.value == expected,
              "%s: %s instead of %s" % (call.__name__, P.CKR[e.value], P.CKR[expected]))
        return
    raise Failure("%s succeeded instead of failing with %s" % (call.__name__, P.CKR[expected]))


def load_module(path):
    lib = P.PyKCS11Lib()
    lib.load(path)
    return lib


def the_slot(lib):
    slots = lib.getSlotList(tokenPresent=True)
    check(len(slots) == 1, "one slot with a token expected, got %r" % (slots,))
    return slots[0]


def virtual_reader(verb):
    """Pulls or inserts the card of the surrounding scripts/virtual-reader run."""
    script = os.environ["ZORAD_VIRTUAL_READER"]
    subprocess.run([script, verb], check=True)


def watchdog(seconds):
    """A blocking call that never returns ends the process (SIGALRM) instead
    of the whole suite's time; watchdog(0) disarms it."""
    signal.alarm(seconds)


def gost_hash(data):
    """GOST R 34.11-94 (CryptoPro parameters) computed by libgcrypt, outside
    the module and the card."""
    gcrypt = ctypes.CDLL(ctypes.util.find_library("gcrypt") or "libgcrypt.so.20")
    gcrypt.gcry_check_version.restype = ctypes.c_char_p
    gcrypt.gcry_check_version(None)
    digest = ctypes.create_string_buffer(32)
    gcry_md_gostr3411_cp = 311
    gcrypt.gcry_md_hash_buffer(gcry_md_gostr3411_cp, digest, data, ctypes.c_size_t(len(data)))
    return digest.raw


def attribute(session, handle, type_):
    return session.getAttributeValue(handle, [type_])[0]


def find(session, template):
    return session.findObjects(template)


def data_template(label, value, private=False):
    return [(P.CKA_CLASS, P.CKO_DATA), (P.CKA_TOKEN, True), (P.CKA_PRIVATE, private),
            (P.CKA_LABEL, label), (P.CKA_APPLICATION, "zorad e2e"), (P.CKA_VALUE, value)]


def run_main(main):
    """Runs main(argv) and turns a failure into exit status 1 with a message."""
    try:
        main(sys.argv[1:])
    except (Failure, P.PyKCS11Error) as e:
        traceback.print_exc()
        print("FAILED: %s" % e, file=sys.stderr, flush=True)
        sys.exit(1)
    print("OK", flush=True)
