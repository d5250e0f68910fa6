"""Two processes on one card through the real pcscd (see concurrent_use.sh).

  concurrent_worker.py setup MODULE                 token initialised, user PIN set
  concurrent_worker.py work MODULE NAME PEER ROUNDS DIR
        in a loop: creates data objects (public and private, sizes varying),
        changes the value of an earlier one (grown or shrunk), deletes every
        third; checks each value it reads back; finds the peer's marker
        object with a new search; writes what it kept to DIR/NAME.json
  concurrent_worker.py verify MODULE DIR NAME...    the card holds exactly the
        objects the workers kept, with their last values
"""

import hashlib
import json
import os
import time

import PyKCS11 as P

from e2e_common import (SO_PIN, USER_PIN, Failure, attribute, check, data_template, find,
                        load_module, run_main, the_slot)


def value_of(label, version, size):
    seed = hashlib.sha256(("%s/%d" % (label, version)).encode()).digest()
    return (seed * (size // len(seed) + 1))[:size]


def login(module):
    lib = load_module(module)
    session = lib.openSession(the_slot(lib), P.CKF_SERIAL_SESSION | P.CKF_RW_SESSION)
    session.login(USER_PIN)
    return lib, session


def setup(module):
    lib = load_module(module)
    slot = the_slot(lib)
    lib.initToken(slot, SO_PIN, "Concurrent token".ljust(32))
    session = lib.openSession(slot, P.CKF_SERIAL_SESSION | P.CKF_RW_SESSION)
    session.login(SO_PIN, P.CKU_SO)
    session.initPin(USER_PIN)
    session.logout()


def wait_for_file(path, peer_done, seconds=60):
    """Waits for the peer to write `path`; gives up when the peer has ended
    without it."""
    deadline = time.time() + seconds
    while not os.path.exists(path):
        check(path == peer_done or not os.path.exists(peer_done),
              "the peer ended without writing %s" % path)
        check(time.time() < deadline, "timed out waiting for %s" % path)
        time.sleep(0.05)


# Searches that had to start again: the module ends a search with
# CKR_FUNCTION_FAILED when the next object's header was changed by another
# process after C_FindObjectsInit read the card (it never hands out a stale
# object); a new search reads the card again.
repeated_searches = 0


def search(session, template):
    global repeated_searches
    for _ in range(10):
        try:
            return find(session, template)
        except P.PyKCS11Error as e:
            if e.value != P.CKR_FUNCTION_FAILED:
                raise
            repeated_searches += 1
    raise Failure("a search failed ten times in a row")


def the_object(session, label):
    found = search(session, [(P.CKA_LABEL, label)])
    check(len(found) == 1, "%s found %d times" % (label, len(found)))
    return found[0]


def one_round(session, name, i, kept):
    label = "%s-%02d" % (name, i)
    size = 1 + (i * 97) % 420
    session.createObject(data_template(label, value_of(label, 0, size), private=i % 2 == 1))
    kept[label] = [0, size]
    if i >= 1:  # change the previous round's object, if it is still there
        earlier = "%s-%02d" % (name, i - 1)
        if earlier in kept:
            version, size = kept[earlier][0] + 1, 1 + (i * 211) % 700
            handle = the_object(session, earlier)
            session.setAttributeValue(handle, [(P.CKA_VALUE, value_of(earlier, version, size))])
            kept[earlier] = [version, size]
    for label, (version, size) in kept.items():
        got = bytes(attribute(session, the_object(session, label), P.CKA_VALUE))
        check(got == value_of(label, version, size), "%s reads back wrong" % label)
    if i % 3 == 2:
        doomed = "%s-%02d" % (name, i - 2)
        session.destroyObject(the_object(session, doomed))
        del kept[doomed]
        check(not search(session, [(P.CKA_LABEL, doomed)]), "%s still found" % doomed)


def work(module, name, peer, rounds, folder):
    try:
        # Kept until the end: dropping the library finalises the module.
        lib_and_session = work_on_card(module, name, peer, int(rounds), folder)
    finally:
        open(os.path.join(folder, name + ".done"), "w").close()
    # Stay logged in until the peer is done: the card has one login state,
    # and ending the module's connection resets the card.
    peer_done = os.path.join(folder, peer + ".done")
    wait_for_file(peer_done, peer_done)
    del lib_and_session


def work_on_card(module, name, peer, rounds, folder):
    lib, session = login(module)
    kept = {}
    peer_done = os.path.join(folder, peer + ".done")
    for i in range(rounds):
        one_round(session, name, i, kept)
        if i == rounds // 2:
            # A marker the peer must find with a new search, and the peer's.
            marker = name + "-marker"
            session.createObject(data_template(marker, value_of(marker, 0, 16), private=True))
            kept[marker] = [0, 16]
            open(os.path.join(folder, name + ".marker"), "w").close()
            wait_for_file(os.path.join(folder, peer + ".marker"), peer_done)
            the_object(session, peer + "-marker")
    with open(os.path.join(folder, name + ".json"), "w") as out:
        json.dump(kept, out)
    print("%s: %d rounds, %d objects kept, %d searches repeated"
          % (name, rounds, len(kept), repeated_searches))
    return lib, session


def verify(module, folder, *names):
    expected = {}
    for name in names:
        with open(os.path.join(folder, name + ".json")) as f:
            expected.update(json.load(f))
    lib, session = login(module)
    labels = sorted(attribute(session, h, P.CKA_LABEL)
                    for h in find(session, [(P.CKA_CLASS, P.CKO_DATA)]))
    check(labels == sorted(expected), "objects on the card %r, expected %r"
          % (labels, sorted(expected)))
    for label, (version, size) in expected.items():
        got = bytes(attribute(session, the_object(session, label), P.CKA_VALUE))
        check(got == value_of(label, version, size), "%s holds a wrong value" % label)
    with open(os.path.join(folder, "expected-labels.txt"), "w") as out:
        out.write("\n".join(sorted(expected)) + "\n")


def main(argv):
    phases = {"setup": (setup, 1), "work": (work, 5), "verify": (verify, None)}
    if not argv or argv[0] not in phases:
        raise SystemExit(__doc__)
    function, count = phases[argv[0]]
    if count is not None and len(argv) - 1 != count:
        raise SystemExit(__doc__)
    function(*argv[1:])


if __name__ == "__main__":
    run_main(main)
