"""The benchmark token's objects, written through the module with PyKCS11.

    flow_token.py keys MODULE PIN
        the card generates the key pairs
    flow_token.py objects MODULE PIN CERT-DIR
        imports the certificates CERT-DIR/cert01.der .. cert20.der and the
        data objects

The first KEY_PAIRS certificates carry the ID of the card key pair of the
same number, as a certificate made for that key does; clients such as NSS
pair them by it, and list a certificate only with its issuer and serial
number. Certificates and data objects are public: what an application shows
before a login. The module keeps both keys of a pair private.
"""

import hashlib
import os
import sys

import PyKCS11 as P

KEY_PAIRS = 5
CERTIFICATES = 20
DATA_OBJECTS = 10
# OIDs of the CryptoPro A parameter set (the card's set 2) and of the
# GOST R 34.11-94 CryptoPro hash parameters, DER.
CRYPTOPRO_A = bytes.fromhex("06072A850302022301")
HASH_CRYPTOPRO = bytes.fromhex("06072A850302021E01")


def object_id(number):
    """An 8-byte ID: short enough that each key record fits one 100-byte block."""
    return hashlib.sha1(b"zorad flows key %d" % number).digest()[:8]


def key_label(number):
    return "flow key %d" % number


def der_element(data, at):
    """(start of the content, end of the element) of the DER element at `at`."""
    length = data[at + 1]
    start = at + 2
    if length & 0x80:
        count = length & 0x7F
        length = int.from_bytes(data[start:start + count], "big")
        start += count
    return start, start + length


def certificate_fields(der):
    """serial number, signature algorithm, issuer, validity and subject of
    an X.509 certificate, each DER."""
    tbs, _ = der_element(der, 0)  # Certificate: tbsCertificate comes first
    at, _ = der_element(der, tbs)  # tbsCertificate's first field
    if der[at] == 0xA0:  # [0] version
        at = der_element(der, at)[1]
    fields = []
    for _ in range(5):
        end = der_element(der, at)[1]
        fields.append(der[at:end])
        at = end
    return fields


def user_session(module, pin):
    lib = P.PyKCS11Lib()
    lib.load(module)
    slots = lib.getSlotList(tokenPresent=True)
    if len(slots) != 1:
        raise SystemExit("flow_token.py: one slot with a token expected, got %r" % (slots,))
    session = lib.openSession(slots[0], P.CKF_SERIAL_SESSION | P.CKF_RW_SESSION)
    session.login(pin)
    return session


def make_keys(session):
    for n in range(1, KEY_PAIRS + 1):
        common = [(P.CKA_TOKEN, True), (P.CKA_LABEL, key_label(n)), (P.CKA_ID, object_id(n))]
        session.generateKeyPair(
            common + [(P.CKA_VERIFY, True), (P.CKA_GOSTR3410_PARAMS, CRYPTOPRO_A),
                      (P.CKA_GOSTR3411_PARAMS, HASH_CRYPTOPRO)],
            common + [(P.CKA_PRIVATE, True), (P.CKA_SENSITIVE, True), (P.CKA_SIGN, True)],
            P.Mechanism(P.CKM_GOSTR3410_KEY_PAIR_GEN, None))


def make_objects(session, cert_dir):
    for n in range(1, CERTIFICATES + 1):
        with open(os.path.join(cert_dir, "cert%02d.der" % n), "rb") as f:
            der = f.read()
        serial, _, issuer, _, subject = certificate_fields(der)
        session.createObject([
            (P.CKA_CLASS, P.CKO_CERTIFICATE), (P.CKA_CERTIFICATE_TYPE, P.CKC_X_509),
            (P.CKA_TOKEN, True), (P.CKA_PRIVATE, False),
            (P.CKA_LABEL, key_label(n) if n <= KEY_PAIRS else "flow certificate %d" % n),
            (P.CKA_ID, object_id(n)), (P.CKA_SUBJECT, subject), (P.CKA_ISSUER, issuer),
            (P.CKA_SERIAL_NUMBER, serial),
            (P.CKA_VALUE, der)])
    for n in range(1, DATA_OBJECTS + 1):
        session.createObject([
            (P.CKA_CLASS, P.CKO_DATA), (P.CKA_TOKEN, True),
            (P.CKA_PRIVATE, False), (P.CKA_LABEL, "flow data %d" % n),
            (P.CKA_APPLICATION, "zorad flows"),
            (P.CKA_VALUE, hashlib.sha512(b"flow data %d" % n).digest())])


def main(argv):
    if not argv or {"keys": 3, "objects": 4}.get(argv[0]) != len(argv):
        raise SystemExit(__doc__)
    session = user_session(argv[1], argv[2])
    if argv[0] == "keys":
        make_keys(session)
    else:
        make_objects(session, argv[3])
    session.logout()
    session.closeSession()


if __name__ == "__main__":
    main(sys.argv[1:])
