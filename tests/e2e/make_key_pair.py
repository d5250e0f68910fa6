"""make_key_pair.py MODULE USER-PIN LABEL ID-HEX: has the card generate a GOST
R 34.10-2001 key pair with that label and ID (for clients that cannot ask
for one themselves, such as GnuTLS's p11tool)."""

import PyKCS11 as P

from e2e_common import CRYPTOPRO_A, load_module, run_main, the_slot


def main(argv):
    if len(argv) != 4:
        raise SystemExit(__doc__)
    module, pin, label, key_id = argv
    lib = load_module(module)
    session = lib.openSession(the_slot(lib), P.CKF_SERIAL_SESSION | P.CKF_RW_SESSION)
    session.login(pin)
    common = [(P.CKA_TOKEN, True), (P.CKA_LABEL, label), (P.CKA_ID, bytes.fromhex(key_id))]
    session.generateKeyPair(common + [(P.CKA_VERIFY, True), (P.CKA_GOSTR3410_PARAMS, CRYPTOPRO_A),
                             (P.CKA_GOSTR3411_PARAMS, bytes.fromhex("06072A850302021E01"))],
                            common + [(P.CKA_SIGN, True), (P.CKA_PRIVATE, True)],
                            P.Mechanism(P.CKM_GOSTR3410_KEY_PAIR_GEN, None))
    session.logout()


if __name__ == "__main__":
    run_main(main)
