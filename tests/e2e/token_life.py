"""A token's whole life through PyKCS11 and the shipped module on the real
PC/SC stack.

  token_life.py life MODULE STATE     a new card: information, token
                                      initialisation, PINs, a data object, a
                                      key pair, signatures with both
                                      mechanisms, random bytes, the card
                                      pulled and put back (slot events);
                                      STATE records what the card now holds
  token_life.py reopen MODULE STATE   the same card image in a new reader
                                      and process: everything is still there
"""

import json
import subprocess
import time

import PyKCS11 as P

from e2e_common import (CRYPTOPRO_A, GOST_MECHANISMS, Failure, SO_PIN, USER_PIN, attribute, check,
                        data_template, expect_ckr, find, gost_hash, load_module, run_main,
                        the_slot, virtual_reader, watchdog)

LABEL = "E2E token"
MESSAGE = bytes(range(256)) * 3
PUBLIC_DATA = b"public bytes \x00\x01\x02"
PRIVATE_DATA = b"private bytes \xff"


def check_information(lib, slot):
    info = lib.getInfo()
    check(info.manufacturerID.strip() == "Corvantix", "manufacturer %r" % info.manufacturerID)
    check(info.cryptokiVersion[0] == 2, "Cryptoki version %r" % (info.cryptokiVersion,))
    slot_info = lib.getSlotInfo(slot)
    check("Virtual PCD" in slot_info.slotDescription, "slot %r" % slot_info.slotDescription)
    check(slot_info.flags & P.CKF_TOKEN_PRESENT, "no token present in the slot")
    token = lib.getTokenInfo(slot)
    check(token.serialNumber.strip() == "0123456789ABCD", "serial %r" % token.serialNumber)
    check(token.model.strip() == "Zorad 2.1", "model %r" % token.model)
    check(token.label.strip() == "Zorad test token", "label %r" % token.label)
    mechanisms = lib.getMechanismList(slot)
    for mechanism in GOST_MECHANISMS:
        check(P.CKM[mechanism] in mechanisms, "%s missing from %r" % (P.CKM[mechanism], mechanisms))
    sign = lib.getMechanismInfo(slot, P.CKM[P.CKM_GOSTR3410])
    check(sign.flags & P.CKF_SIGN and sign.flags & P.CKF_VERIFY, "CKM_GOSTR3410 flags")


def initialise(lib, slot):
    # PyKCS11 hands the label over as it is; Cryptoki reads 32 blank-padded bytes.
    lib.initToken(slot, SO_PIN, LABEL.ljust(32))
    token = lib.getTokenInfo(slot)
    check(token.flags & P.CKF_TOKEN_INITIALIZED, "not initialised after C_InitToken")
    check(token.label.strip() == LABEL, "label %r" % token.label)
    session = lib.openSession(slot, P.CKF_SERIAL_SESSION | P.CKF_RW_SESSION)
    session.login(SO_PIN, P.CKU_SO)
    session.initPin(USER_PIN)
    session.logout()
    expect_ckr(P.CKR_PIN_INCORRECT, session.login, "00000000")
    session.login(USER_PIN)
    return session


def create_data_objects(session):
    session.createObject(data_template("e2e public data", PUBLIC_DATA))
    session.createObject(data_template("e2e private data", PRIVATE_DATA, private=True))
    found = find(session, [(P.CKA_CLASS, P.CKO_DATA), (P.CKA_LABEL, "e2e public data")])
    check(len(found) == 1, "public data object found %d times" % len(found))
    check(bytes(attribute(session, found[0], P.CKA_VALUE)) == PUBLIC_DATA, "data value")
    check(len(find(session, [(P.CKA_CLASS, P.CKO_DATA)])) == 2, "two data objects")


def generate_key_pair(session):
    public = [(P.CKA_CLASS, P.CKO_PUBLIC_KEY), (P.CKA_KEY_TYPE, P.CKK_GOSTR3410),
              (P.CKA_TOKEN, True), (P.CKA_VERIFY, True),
              (P.CKA_LABEL, "e2e key"), (P.CKA_ID, b"\x42"), (P.CKA_GOSTR3410_PARAMS, CRYPTOPRO_A)]
    private = [(P.CKA_CLASS, P.CKO_PRIVATE_KEY), (P.CKA_KEY_TYPE, P.CKK_GOSTR3410),
               (P.CKA_TOKEN, True), (P.CKA_PRIVATE, True), (P.CKA_SIGN, True),
               (P.CKA_LABEL, "e2e key"), (P.CKA_ID, b"\x42")]
    pub, priv = session.generateKeyPair(public, private,
                                        P.Mechanism(P.CKM_GOSTR3410_KEY_PAIR_GEN, None))
    value = bytes(attribute(session, pub, P.CKA_VALUE))
    check(len(value) == 64, "public key value of %d bytes" % len(value))
    # Integer attributes come back as the platform's CK_ULONG, and a search by
    # class finds the keys the card generated.
    check(attribute(session, priv, P.CKA_KEY_TYPE) == P.CKK_GOSTR3410, "private key type")
    found = find(session, [(P.CKA_CLASS, P.CKO_PRIVATE_KEY)])
    check([h.value() for h in found] == [priv.value()], "search by class")
    # The private half never leaves the card (PyKCS11 reads a refused value as None).
    check(session.getAttributeValue(priv, [P.CKA_VALUE]) == [None], "private key value readable")
    return pub, priv, value


def sign_and_verify(session, pub, priv):
    """Both mechanisms; the hash the card computes equals libgcrypt's, so a
    signature made one way verifies the other way."""
    digest = gost_hash(MESSAGE)
    raw = P.Mechanism(P.CKM_GOSTR3410, None)
    hashing = P.Mechanism(P.CKM_GOSTR3410_WITH_GOSTR3411, None)
    by_hash = bytes(session.sign(priv, digest, raw))
    by_message = bytes(session.sign(priv, MESSAGE, hashing))
    check(len(by_hash) == 64 and len(by_message) == 64, "64-byte signatures")
    for data, signature, mechanism in ((digest, by_hash, raw), (MESSAGE, by_message, hashing),
                                       (MESSAGE, by_hash, hashing), (digest, by_message, raw)):
        check(session.verify(pub, data, signature, mechanism), "signature rejected")
        broken = bytes([signature[0] ^ 1]) + signature[1:]
        check(not session.verify(pub, data, broken, mechanism), "a broken signature verified")
    return digest, by_hash


def draw_random(session):
    first = bytes(session.generateRandom(100))
    second = bytes(session.generateRandom(100))
    check(len(first) == 100 and len(second) == 100 and first != second, "random bytes")


def drain_events(lib):
    for _ in range(10):
        try:
            lib.waitForSlotEvent(P.CKF_DONT_BLOCK)
        except P.PyKCS11Error as e:
            check(e.value == P.CKR_NO_EVENT, "event poll: %s" % P.CKR[e.value])
            return


def pull_and_insert(lib, slot, session):
    """The card leaves while a blocking C_WaitForSlotEvent waits; it comes
    back while the application polls with CKF_DONT_BLOCK."""
    drain_events(lib)
    script = "sleep 1; exec \"$ZORAD_VIRTUAL_READER\" pull"
    puller = subprocess.Popen(["sh", "-c", script])
    watchdog(30)
    event = lib.waitForSlotEvent(0)
    watchdog(0)
    check(puller.wait() == 0, "virtual-reader pull failed")
    check(event == slot, "removal reported for slot %r" % event)
    check(not lib.getSlotInfo(slot).flags & P.CKF_TOKEN_PRESENT, "token still present")
    expect_ckr(P.CKR_TOKEN_NOT_PRESENT, lib.getTokenInfo, slot)
    try:
        session.getSessionInfo()
        raise Failure("the session outlived its token")
    except P.PyKCS11Error as e:
        check(e.value in (P.CKR_SESSION_HANDLE_INVALID, P.CKR_DEVICE_REMOVED,
                          P.CKR_TOKEN_NOT_PRESENT, P.CKR_SESSION_CLOSED),
              "old session after removal: %s" % P.CKR[e.value])
    virtual_reader("insert")
    for _ in range(100):
        try:
            event = lib.waitForSlotEvent(P.CKF_DONT_BLOCK)
            break
        except P.PyKCS11Error as e:
            check(e.value == P.CKR_NO_EVENT, "event poll: %s" % P.CKR[e.value])
            time.sleep(0.1)
    else:
        raise Failure("no insertion event within 10 s")
    check(event == slot, "insertion reported for slot %r" % event)
    check(lib.getSlotInfo(slot).flags & P.CKF_TOKEN_PRESENT, "token back in the slot")
    check(lib.getTokenInfo(slot).label.strip() == LABEL, "the same token is back")


def objects_after_login(lib, slot, value):
    session = lib.openSession(slot, P.CKF_SERIAL_SESSION)
    # Before login only the public data object is visible: the card keeps
    # both halves of a generated key pair in its private area.
    labels = sorted(attribute(session, h, P.CKA_LABEL) for h in find(session, []))
    check(labels == ["e2e public data"], "public objects %r" % labels)
    session.login(USER_PIN)
    labels = sorted(attribute(session, h, P.CKA_LABEL) for h in find(session, []))
    check(labels == ["e2e key", "e2e key", "e2e private data", "e2e public data"],
          "objects after login %r" % labels)
    pub = find(session, [(P.CKA_CLASS, P.CKO_PUBLIC_KEY), (P.CKA_ID, b"\x42")])
    priv = find(session, [(P.CKA_CLASS, P.CKO_PRIVATE_KEY), (P.CKA_ID, b"\x42")])
    check(len(pub) == 1 and len(priv) == 1, "the key pair by its ID")
    check(bytes(attribute(session, pub[0], P.CKA_VALUE)) == value, "public key value")
    private_data = find(session, [(P.CKA_LABEL, "e2e private data")])
    check(bytes(attribute(session, private_data[0], P.CKA_VALUE)) == PRIVATE_DATA, "private data")
    return session, pub[0], priv[0]


def life(module, state):
    lib = load_module(module)
    slot = the_slot(lib)
    check_information(lib, slot)
    session = initialise(lib, slot)
    create_data_objects(session)
    pub, priv, value = generate_key_pair(session)
    digest, signature = sign_and_verify(session, pub, priv)
    draw_random(session)
    pull_and_insert(lib, slot, session)
    objects_after_login(lib, slot, value)
    with open(state, "w") as out:
        json.dump({"public": value.hex(), "digest": digest.hex(),
                   "signature": signature.hex()}, out)


def reopen(module, state):
    with open(state) as f:
        kept = json.load(f)
    lib = load_module(module)
    slot = the_slot(lib)
    token = lib.getTokenInfo(slot)
    check(token.label.strip() == LABEL and token.flags & P.CKF_TOKEN_INITIALIZED, "token kept")
    session, pub, priv = objects_after_login(lib, slot, bytes.fromhex(kept["public"]))
    raw = P.Mechanism(P.CKM_GOSTR3410, None)
    digest = bytes.fromhex(kept["digest"])
    check(session.verify(pub, digest, bytes.fromhex(kept["signature"]), raw), "old signature")
    check(session.verify(pub, digest, bytes(session.sign(priv, digest, raw)), raw), "new signature")


def main(argv):
    phases = {"life": life, "reopen": reopen}
    if len(argv) != 3 or argv[0] not in phases:
        raise SystemExit(__doc__)
    phases[argv[0]](argv[1], argv[2])


if __name__ == "__main__":
    run_main(main)
