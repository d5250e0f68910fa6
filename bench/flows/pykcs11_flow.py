"""An application's usual walk over a token, through PyKCS11, counted in card
commands from the virtual card's command log:

    pykcs11_flow.py MODULE PIN APDU-LOG MARKS [second]

logs in, finds every object and reads CKA_LABEL, CKA_ID and CKA_CLASS of
each ("first": from the process's start), then searches and reads again
("repeat"). The first process then starts a second one on the same card,
which does the same while the first keeps its session open and logged in:
what a second application sees. Each part appends "ROW BEGIN END" (command
numbers in the log) to MARKS; the processes take turns, so the log between
two marks is that part's alone.
"""

import subprocess
import sys

import PyKCS11 as P

OBJECTS = 40  # the benchmark token's objects, all visible after a login


def commands_so_far(log):
    with open(log, "rb") as f:
        return sum(1 for line in f if b" =>" in line)


def search_and_read(session):
    found = session.findObjects()
    for handle in found:
        session.getAttributeValue(handle, [P.CKA_LABEL, P.CKA_ID, P.CKA_CLASS])
    if len(found) != OBJECTS:
        raise SystemExit("pykcs11_flow.py: %d objects found, %d expected" % (len(found), OBJECTS))


def main(argv):
    if len(argv) not in (4, 5) or argv[4:] not in ([], ["second"]):
        raise SystemExit(__doc__)
    module, pin, log, marks = argv[:4]
    prefix = "pykcs11-second" if argv[4:] else "pykcs11"
    rows = []
    begin = commands_so_far(log)
    lib = P.PyKCS11Lib()
    lib.load(module)
    session = lib.openSession(lib.getSlotList(tokenPresent=True)[0], P.CKF_SERIAL_SESSION)
    session.login(pin)
    search_and_read(session)
    middle = commands_so_far(log)
    search_and_read(session)
    end = commands_so_far(log)
    rows += [(prefix + "-first", begin, middle), (prefix + "-repeat", middle, end)]
    with open(marks, "a") as f:
        f.writelines("%s\t%d\t%d\n" % row for row in rows)
    if not argv[4:]:
        subprocess.run([sys.executable, __file__] + argv + ["second"], check=True)
    session.logout()
    session.closeSession()


if __name__ == "__main__":
    main(sys.argv[1:])
