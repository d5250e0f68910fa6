"""shared_card.py MODULE | other|edit|unkey MODULE: one card shared by two
applications and pulled while in use. Another application's logout ends this
one's login; public work goes on. Its changes show at this one's next search,
and a write or signature through a handle of what it deleted is refused. A
removal ends the sessions however it is seen, and a card pulled and put back
unseen is read anew."""

import os
import subprocess
import sys
import time

import PyKCS11 as P

from e2e_common import (Failure, attribute, check, expect_ckr, load_module, run_main, the_slot,
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


def run_other(verb, module):
    subprocess.run([sys.executable, __file__, verb, module], check=True)


def main(argv):
    lib = load_module(argv[-1])
    if argv[0] == "edit":  # public objects only: no login, so no reset of the card
        other = lib.openSession(the_slot(lib), RW)
        one = lambda label: other.findObjects([(P.CKA_LABEL, label)])[0]
        other.setAttributeValue(one("kept"), [(P.CKA_LABEL, "KEPT")])  # same length: in place
        other.destroyObject(one("gone"))
        other.createObject(data("new"))
        return
    if argv[0] == "unkey":
        other = lib.openSession(the_slot(lib), RW)
        other.login(PIN)
        other.destroyObject(other.findObjects([(P.CKA_CLASS, P.CKO_PRIVATE_KEY)])[0])
        other.logout()
        return
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
    run_other("other", argv[0])
    check(labels(session) == ["by the other"], "after the other's logout: %r" % labels(session))
    session.login(PIN)
    check(labels(session) == ["by the other", "mine"], "after a new login")

    # This process answers reads from what it read between its searches, but
    # a write checks the card first; the other's changes show at the next search.
    for label in ("kept", "gone"):
        session.createObject(data(label))
    kept, gone = (session.findObjects([(P.CKA_LABEL, l)])[0] for l in ("kept", "gone"))
    run_other("edit", argv[0])
    check(attribute(session, kept, P.CKA_LABEL) in ("kept", "KEPT"), "read between searches")
    expect_ckr(P.CKR_OBJECT_HANDLE_INVALID, session.setAttributeValue, gone,
               [(P.CKA_LABEL, "late")])
    seen = ["KEPT", "by the other", "mine", "new"]
    check(labels(session) == seen, "after the other's changes: %r" % labels(session))
    # A kept handle of a key the other deleted signs nothing.
    subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "make_key_pair.py"),
                    argv[0], PIN, "key", "0A0B"], check=True)
    labels(session)  # a search sees the other's logout
    session.login(PIN)
    key = session.findObjects([(P.CKA_CLASS, P.CKO_PRIVATE_KEY)])[0]
    run_other("unkey", argv[0])
    sign = P.Mechanism(P.CKM_GOSTR3410_WITH_GOSTR3411)
    expect_ckr(P.CKR_USER_NOT_LOGGED_IN, session.sign, key, b"to sign", sign)  # its logout
    session.login(PIN)
    expect_ckr(P.CKR_KEY_HANDLE_INVALID, session.sign, key, b"to sign", sign)
    check(sorted(labels(session)) == sorted(seen + ["key"]), "after the key's deletion")

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
