"""shared_card.py MODULE | other MODULE: one card shared by two applications
and pulled while in use. Another application's logout ends this one's
login; public work goes on. A removal ends the sessions however it is seen,
and a card pulled and put back unseen is read anew."""

import subprocess
import sys
import time

import PyKCS11 as P

from e2e_common import (Failure, check, expect_ckr, load_module, run_main, the_slot,
                        virtual_reader)

PIN = "12345678"  # a new virtual card's user PIN
RW = P.CKF_SERIAL_SESSION | P.CKF_RW_SESSION


def data(label, private=False):
    return [(P.CKA_CLASS, P.CKO_DATA), (P.CKA_TOKEN, True), (P.CKA_PRIVATE, private),
            (P.CKA_LABEL, label)]


def labels(session):
    return sorted(session.getAttributeValue(h, [P.CKA_LABEL])[0] for h in session.findObjects([]))


def wait_for(condition, what):
    for _ in range(100):
        if condition():
            return
        time.sleep(0.1)
    raise Failure("%s: not within 10 s" % what)


def main(argv):
    lib = load_module(argv[-1])
    if argv[0] == "other":  # logs in, creates, logs out and ends: the card is reset
        other = lib.openSession(the_slot(lib), RW)
        other.login(PIN)
        other.createObject(data("by the other"))
        other.logout()
        return
    slot = the_slot(lib)
    session = lib.openSession(slot, RW)
    session.login(PIN)
    session.createObject(data("mine", private=True))
    subprocess.run([sys.executable, __file__, "other", argv[0]], check=True)
    check(labels(session) == ["by the other"], "after the other's logout: %r" % labels(session))
    session.login(PIN)
    check(labels(session) == ["by the other", "mine"], "after a new login")

    present = lambda: lib.getSlotInfo(slot).flags & P.CKF_TOKEN_PRESENT
    digest = session.digestSession(P.Mechanism(P.CKM_GOSTR3411))
    digest.update(b"begun before the removal")
    virtual_reader("pull")
    wait_for(lambda: not present(), "the removal")
    expect_ckr(P.CKR_SESSION_HANDLE_INVALID, session.getSessionInfo)
    virtual_reader("insert")
    wait_for(present, "the insertion")
    expect_ckr(P.CKR_SESSION_HANDLE_INVALID, digest.final)
    expect_ckr(P.CKR_SESSION_HANDLE_INVALID, session.createObject, data("late"))

    session = lib.openSession(slot, RW)
    virtual_reader("pull")
    time.sleep(1.5)
    virtual_reader("insert")
    time.sleep(1.5)
    check(lib.getTokenInfo(slot).label.strip() != "", "the card put back unseen is read")
    expect_ckr(P.CKR_SESSION_HANDLE_INVALID, session.getSessionInfo)
    fresh = lib.openSession(slot, RW)
    check(fresh.getSessionInfo().state == P.CKS_RW_PUBLIC_SESSION, "a login outlived the card")


if __name__ == "__main__":
    run_main(main)
