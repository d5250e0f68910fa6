"""shared_card.py MODULE | other MODULE: one card shared by two
applications and pulled while in use.

Another application's login and logout reset the card: this application's
login ends with it, its public work goes on and a new login works. A removal
ends the slot's sessions however the module comes to see it, and nothing
begun before it completes; a card pulled and put back before the module
looks is a removal and an insertion."""

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


def other_application(module):
    """Logs in, creates an object, logs out and ends: the card is reset."""
    lib = load_module(module)
    session = lib.openSession(the_slot(lib), RW)
    session.login(PIN)
    session.createObject(data("by the other"))
    session.logout()
    session.closeSession()


def login_of_another_application(module, lib, slot):
    session = lib.openSession(slot, RW)
    session.login(PIN)
    session.createObject(data("mine", private=True))
    subprocess.run([sys.executable, __file__, "other", module], check=True)
    check(labels(session) == ["by the other"], "after the other's logout: %r" % labels(session))
    check(session.getSessionInfo().state == P.CKS_RW_PUBLIC_SESSION, "still logged in")
    session.login(PIN)
    check(labels(session) == ["by the other", "mine"], "after a new login: %r" % labels(session))
    return session


def wait_for(condition, what):
    for _ in range(100):
        if condition():
            return
        time.sleep(0.1)
    raise Failure("%s: not within 10 s" % what)


def present(lib, slot):
    return lib.getSlotInfo(slot).flags & P.CKF_TOKEN_PRESENT


def removal_seen_by_a_slot_query(lib, slot, session):
    digest = session.digestSession(P.Mechanism(P.CKM_GOSTR3411))
    digest.update(b"begun before the removal")
    virtual_reader("pull")
    wait_for(lambda: not present(lib, slot), "the removal")
    expect_ckr(P.CKR_SESSION_HANDLE_INVALID, session.getSessionInfo)
    virtual_reader("insert")
    wait_for(lambda: present(lib, slot), "the insertion")
    expect_ckr(P.CKR_SESSION_HANDLE_INVALID, session.getSessionInfo)
    expect_ckr(P.CKR_SESSION_HANDLE_INVALID, digest.final)
    expect_ckr(P.CKR_SESSION_HANDLE_INVALID, session.createObject, data("late"))


def pulled_and_put_back_unseen(lib, slot, session):
    virtual_reader("pull")
    time.sleep(1.5)
    virtual_reader("insert")
    time.sleep(1.5)
    check(lib.getTokenInfo(slot).label.strip() != "", "the card put back is read")
    fresh = lib.openSession(slot, RW)
    expect_ckr(P.CKR_SESSION_HANDLE_INVALID, session.getSessionInfo)
    check(fresh.getSessionInfo().state == P.CKS_RW_PUBLIC_SESSION, "a login outlived the card")
    fresh.login(PIN)
    check("mine" in labels(fresh), "the card's objects after the swap")


def main(argv):
    if argv[0] == "other":
        other_application(argv[1])
        return
    lib = load_module(argv[0])
    slot = the_slot(lib)
    session = login_of_another_application(argv[0], lib, slot)
    removal_seen_by_a_slot_query(lib, slot, session)
    pulled_and_put_back_unseen(lib, slot, lib.openSession(slot, RW))


if __name__ == "__main__":
    run_main(main)
