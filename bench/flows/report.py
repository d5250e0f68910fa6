"""Counts the card commands of the client flows from the virtual card's
command logs and prints the table, and per flow the commands by instruction
to a detail file.

    report.py --public-area BLOCKS:SIZE --private-area BLOCKS:SIZE \\
              --detail FILE [--note TEXT] RUN-DIR...

Each RUN-DIR holds one flow's run: apdu.log (the card's log, one
"CMD => DATA SW" line per command, in hex) and marks (lines "ROW BEGIN END":
the commands of row ROW are the log's commands BEGIN..END-1).
"""

import argparse
import collections
import os
import sys

# The rows in order: key, client flow, fewest commands needed. The fewest
# follow from what a module must ask a card that other processes may change:
#   once per process, select the application, read the token information,
#   serial number, both areas' tables and both PIN states: 9 commands;
#   for each search, select each area and read its table, then each object's
#   17-byte header, so that a change by another process is seen;
#   an object's body only when its header is new or changed, in reads of up
#   to 256 bytes over contiguous blocks;
#   attribute reads between searches answered from what was read.
# Worked out for this token (40 objects: 30 public, the 10 keys private; areas
# of 290 blocks of 100 bytes) and the calls each client makes.
ROWS = [
    ("tool-list", "zorad-tool list (no login)", 103),
    ("nss-open", "NSS opening the token (certutil -L, no login)", 138),
    ("nss-certs", "NSS certutil -L -h all (login)", 1156),
    ("nss-keys", "NSS certutil -K -h all (login)", 1156),
    ("p11tool-list", "p11tool --list-all", 783),
    ("p11tool-login", "p11tool --login --list-all", 1271),
    ("pykcs11-first", "PyKCS11: start, log in, first search + reads", 111),
    ("pykcs11-repeat", "PyKCS11: repeated search + reads, same process", 46),
    ("pykcs11-second-first", "PyKCS11, second process (first one's session open): first", 111),
    ("pykcs11-second-repeat", "PyKCS11, second process: repeated search + reads", 46),
]
MS_PER_COMMAND = 8
MS_PER_SIGNATURE = 250

PRIVATE_AREA_FILE = 0x0001
PUBLIC_AREA_FILE = 0x0009
HEADER_SIZE = 17

# Instruction groups, in the order of the detail table.
GROUPS = [
    "SELECT application", "SELECT file", "READ BINARY table", "READ BINARY header",
    "READ BINARY body", "READ BINARY by SFI", "READ BINARY other", "GET SERIAL",
    "VERIFY PIN state", "VERIFY PIN", "GET CHALLENGE", "READ PUBLIC KEY", "GENERATE KEY PAIR",
    "MSE", "PSO COMPUTE SIGNATURE", "PSO VERIFY", "PSO HASH", "UPDATE BINARY",
    "ACTIVATE/DEACTIVATE", "CHANGE REFERENCE DATA", "GET RESPONSE", "other",
]


def area_layout(text):
    blocks, size = (int(part) for part in text.split(":"))
    return blocks * size + 128  # where the allocation table starts


class Classifier:
    """Names each command's instruction; follows SELECT FILE so that reads
    of an area tell the table from headers and bodies."""

    SIMPLE = {0x84: "GET CHALLENGE", 0x22: "MSE", 0xD6: "UPDATE BINARY",
              0x44: "ACTIVATE/DEACTIVATE", 0x04: "ACTIVATE/DEACTIVATE",
              0x24: "CHANGE REFERENCE DATA", 0xC0: "GET RESPONSE"}
    PSO = {(0x9E, 0x9A): "PSO COMPUTE SIGNATURE", (0x00, 0xA8): "PSO VERIFY",
           (0x90, 0x80): "PSO HASH"}

    def __init__(self, tables):
        self.tables = tables  # area file -> offset of its allocation table
        self.selected = None

    def name(self, apdu):
        cla, ins, p1, p2 = apdu[:4]
        p3 = apdu[4] if len(apdu) > 4 else None
        if ins == 0xA4:
            if p1 == 0x04:
                self.selected = None
                return "SELECT application"
            self.selected = (apdu[5] << 8 | apdu[6]) if len(apdu) >= 7 else None
            return "SELECT file"
        if ins == 0xB0:
            return self.read_binary(p1, p2, p3)
        if ins == 0xFE and cla & 0x80:
            return "GET SERIAL"
        if ins == 0x20:
            return "VERIFY PIN" if p3 else "VERIFY PIN state"
        if ins == 0x46:
            return {0x01: "READ PUBLIC KEY", 0x02: "GENERATE KEY PAIR"}.get(p1, "other")
        if ins == 0x2A:
            return self.PSO.get((p1, p2), "other")
        return self.SIMPLE.get(ins, "other")

    def read_binary(self, p1, p2, length):
        if p1 & 0x80:
            return "READ BINARY by SFI"
        table = self.tables.get(self.selected)
        if table is None:
            return "READ BINARY other"
        if (p1 << 8 | p2) >= table:
            return "READ BINARY table"
        return "READ BINARY header" if length == HEADER_SIZE else "READ BINARY body"


def command_bytes(line):
    """The command APDU of a log line, masked bytes as 0."""
    command = line.split("=>", 1)[0].split()
    return bytes(0 if b == "**" else int(b, 16) for b in command)


def read_runs(run_dirs, tables):
    """Row key -> list of the command groups of its commands."""
    rows = {}
    for run in run_dirs:
        with open(os.path.join(run, "apdu.log")) as f:
            lines = [line for line in f if " =>" in line]
        classifier = Classifier(tables)
        groups = [classifier.name(command_bytes(line)) for line in lines]
        with open(os.path.join(run, "marks")) as f:
            for mark in f:
                key, begin, end = mark.split()
                rows[key] = groups[int(begin):int(end)]
    return rows


def table(headers, body, align):
    """A markdown table with padded columns; align per column: < or >."""
    cells = [headers] + body
    widths = [max(len(row[i]) for row in cells) for i in range(len(headers))]

    def line(row):
        return "| " + " | ".join(c.ljust(w) if a == "<" else c.rjust(w)
                                 for c, w, a in zip(row, widths, align)) + " |"

    rule = "| " + " | ".join("-" * (w - 1) + (":" if a == ">" else "-")
                             for w, a in zip(widths, align)) + " |"
    return "\n".join([line(headers), rule] + [line(row) for row in body])


def seconds(ms):
    return "%.1f s" % (ms / 1000.0)


def summary(rows):
    body = []
    for key, label, fewest in ROWS:
        if key not in rows:
            body.append([label, "not run", "", "{:,}".format(fewest), ""])
            continue
        groups = rows[key]
        signatures = groups.count("PSO COMPUTE SIGNATURE")
        wait = len(groups) * MS_PER_COMMAND + signatures * MS_PER_SIGNATURE
        note = " (%d signatures)" % signatures if signatures else ""
        body.append([label, "{:,}".format(len(groups)) + note, seconds(wait),
                     "{:,}".format(fewest), "%.1f" % (len(groups) / fewest)])
    return table(["client flow", "commands",
                  "at %d ms a command (+%d ms per signature)" % (MS_PER_COMMAND, MS_PER_SIGNATURE),
                  "fewest needed", "ratio (commands / fewest needed)"],
                 body, "<>>>>")


DETAIL_LEGEND = """\
READ BINARY reads of an area are told apart by offset and length: "table"
from the allocation table's offset on, "header" 17 bytes (an object's
header), "body" any other; "by SFI" reads the label and the token
information. VERIFY PIN state is a VERIFY without a PIN (the tries left),
VERIFY PIN a login. GET SERIAL is the serial number (80 FE)."""


def detail(rows, note):
    counts = {key: collections.Counter(groups) for key, groups in rows.items()}
    used = [g for g in GROUPS if any(c[g] for c in counts.values())]
    body = [[label] + [str(counts[key][g]) for g in used] + [str(len(rows[key]))]
            for key, label, _ in ROWS if key in rows]
    return "\n\n".join(
        ["# Card commands of the client flows, by instruction (scripts/bench-flows)"]
        + ([note] if note else []) + [DETAIL_LEGEND] +
        [table(["client flow"] + used + ["all"], body, "<" + ">" * (len(used) + 1))])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--public-area", required=True)
    parser.add_argument("--private-area", required=True)
    parser.add_argument("--detail", required=True)
    parser.add_argument("--note", default="")
    parser.add_argument("runs", nargs="+")
    args = parser.parse_args()
    tables = {PUBLIC_AREA_FILE: area_layout(args.public_area),
              PRIVATE_AREA_FILE: area_layout(args.private_area)}
    rows = read_runs(args.runs, tables)
    print(summary(rows))
    with open(args.detail, "w") as f:
        f.write(detail(rows, args.note) + "\n")
    missing = [key for key, _, _ in ROWS if key not in rows]
    if missing:
        print("report.py: no count for " + ", ".join(missing), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
