"""process_life.py MODULE: a fork() child of a logged-in parent initialises
the module afresh and logs in itself; the parent goes on working."""

import os

import PyKCS11 as P

from e2e_common import check, load_module, run_main

PIN = "12345678"  # a new virtual card's user PIN


def logged_in_session(module):
    lib = load_module(module)  # C_Initialize
    session = lib.openSession(lib.getSlotList(tokenPresent=True)[0],
                              P.CKF_SERIAL_SESSION | P.CKF_RW_SESSION)
    check(session.getSessionInfo().state == P.CKS_RW_PUBLIC_SESSION, "a login was inherited")
    session.login(PIN)
    return lib, session


def kept_labels(session):
    found = session.findObjects([(P.CKA_PRIVATE, True)])
    return [session.getAttributeValue(o, [P.CKA_LABEL])[0] for o in found]


def main(argv):
    lib, session = logged_in_session(argv[0])
    session.createObject([(P.CKA_CLASS, P.CKO_DATA), (P.CKA_TOKEN, True),
                          (P.CKA_PRIVATE, True), (P.CKA_LABEL, "kept")])
    pid = os.fork()
    if pid == 0:  # the child ends without C_Finalize, as processes may
        child, mine = logged_in_session(argv[0])
        os._exit(0 if kept_labels(mine) == ["kept"] else 1)
    check(os.waitpid(pid, 0)[1] == 0, "the child failed")
    check(session.getSessionInfo().state == P.CKS_RW_USER_FUNCTIONS, "the parent lost its login")
    check(kept_labels(session) == ["kept"], "the parent cannot read its private object")
    session.logout()


if __name__ == "__main__":
    run_main(main)
