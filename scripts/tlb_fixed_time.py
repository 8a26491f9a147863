#!/usr/bin/env python3
"""Replaces the creation time widl writes into a type library with a fixed one.

  tlb_fixed_time.py TLB

widl records "Created by WIDL version V at <asctime>" and the same moment as a
32-bit time among the library's custom data, so a type library (and tsapi.dll,
which carries it as a resource) differs between any two builds. This writes the
text and the number for 1 January 1970, 00:00:00 UTC, leaving every length and
offset as it is. Exit code 0 once both were rewritten (or already were), 1 with a
message when the library does not hold them as expected.
"""

import calendar
import os
import re
import struct
import sys
import time

FIXED = 0
STAMP = re.compile(rb"Created by WIDL version [0-9.]+ at ([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4})\n")
VT_UI4, VT_I4 = 0x13, 0x03


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__)
    path = argv[1]
    with open(path, "rb") as f:
        data = bytearray(f.read())
    found = list(STAMP.finditer(data))
    if len(found) != 1:
        print("tlb_fixed_time.py: %s: %d creation notes, expected one" % (path, len(found)), file=sys.stderr)
        return 1
    m = found[0]
    written = calendar.timegm(time.strptime(m.group(1).decode("ascii").replace("  ", " "), "%a %b %d %H:%M:%S %Y"))
    fixed_text = time.asctime(time.gmtime(FIXED)).encode("ascii")
    data[m.start(1):m.end(1)] = fixed_text
    # The number follows the text (padded to four bytes) as a VARIANT: type, then value.
    # widl's text is local time; the number is UTC, so allow a day either way.
    at = m.end()
    at += -at % 4
    while at < len(data) and data[at:at + 2] == b"WW":
        at += 2
    kind, value = struct.unpack_from("<HI", data, at) if at + 6 <= len(data) else (None, None)
    if kind not in (VT_UI4, VT_I4) or not (abs(value - written) <= 86400 or value == FIXED):
        print("tlb_fixed_time.py: %s: no creation time after the note" % path, file=sys.stderr)
        return 1
    struct.pack_into("<I", data, at + 2, FIXED)
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
