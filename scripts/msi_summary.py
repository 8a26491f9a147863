#!/usr/bin/env python3
"""Sets the package code and the dates of a Windows Installer package in place.

  msi_summary.py PACKAGE PACKAGE_CODE EPOCH

wixl writes a random package code (the summary information's revision number) and
the time it ran as the creation and last-saved dates; a package built twice from
the same inputs then differs in those fields only. This rewrites them, without
changing the length of anything, to PACKAGE_CODE ("{XXXXXXXX-...}") and to EPOCH
(seconds since 1970, UTC). The package is read as a compound file; the summary
stream is located through its allocation tables, so the bytes written are exactly
that stream's.
Exit code 0 when all three fields were written, 1 with a message otherwise.
"""

import os
import re
import struct
import sys

FREE_CHAIN_END = 0xFFFFFFFE
SUMMARY_NAME = "\x05SummaryInformation"
PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 12, 13
VT_LPSTR, VT_FILETIME = 30, 64


class Compound:
    def __init__(self, data):
        if data[:8] != bytes.fromhex("d0cf11e0a1b11ae1"):
            raise ValueError("not a compound file")
        self.data = data
        self.sector = 1 << struct.unpack_from("<H", data, 30)[0]
        self.mini_sector = 1 << struct.unpack_from("<H", data, 32)[0]
        fat_count, self.first_dir = struct.unpack_from("<II", data, 44)
        self.cutoff, first_minifat, _, first_difat, difat_count = struct.unpack_from("<IIIII", data, 56)
        fat_sectors = [s for s in struct.unpack_from("<109I", data, 76) if s < 0xFFFFFFFA]
        sector = first_difat
        per = self.sector // 4 - 1
        for _ in range(difat_count):
            entries = struct.unpack_from("<%dI" % (per + 1), data, self.offset(sector))
            fat_sectors += [s for s in entries[:per] if s < 0xFFFFFFFA]
            sector = entries[per]
        fat_sectors = fat_sectors[:fat_count]
        self.fat = []
        for s in fat_sectors:
            self.fat += struct.unpack_from("<%dI" % (self.sector // 4), data, self.offset(s))
        self.minifat = []
        for s in self.chain(first_minifat):
            self.minifat += struct.unpack_from("<%dI" % (self.sector // 4), data, self.offset(s))

    def offset(self, sector):
        return (sector + 1) * self.sector

    def chain(self, start):
        out = []
        while start < 0xFFFFFFFA:
            if start >= len(self.fat) or len(out) > len(self.fat):
                raise ValueError("broken sector chain")
            out.append(start)
            start = self.fat[start]
        return out

    def entries(self):
        raw = b"".join(self.data[self.offset(s):self.offset(s) + self.sector] for s in self.chain(self.first_dir))
        for at in range(0, len(raw), 128):
            name_len = struct.unpack_from("<H", raw, at + 64)[0]
            name = raw[at:at + max(name_len - 2, 0)].decode("utf-16-le", "replace")
            kind = raw[at + 66]
            start, size = struct.unpack_from("<II", raw, at + 116)
            yield name, kind, start, size

    def stream_offsets(self, name):
        """The file offset of every byte of the named stream, in order."""
        entries = list(self.entries())
        root = entries[0]
        for entry_name, kind, start, size in entries:
            if entry_name != name or kind != 2:
                continue
            if size >= self.cutoff:
                sectors, unit = self.chain(start), self.sector
                base = [self.offset(s) for s in sectors]
            else:
                # Mini sectors live inside the root entry's stream.
                root_sectors = self.chain(root[2])
                base = []
                s = start
                while s < 0xFFFFFFFA:
                    if s >= len(self.minifat) or len(base) > len(self.minifat):
                        raise ValueError("broken mini sector chain")
                    at = s * self.mini_sector
                    base.append(self.offset(root_sectors[at // self.sector]) + at % self.sector)
                    s = self.minifat[s]
                unit = self.mini_sector
            offsets = [b + i for b in base for i in range(unit)]
            if len(offsets) < size:
                raise ValueError("stream shorter than its size")
            return offsets[:size]
        raise ValueError("no stream %r" % name)


def main(argv):
    if len(argv) != 4 or not re.fullmatch(r"\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\}", argv[2]) or \
            not argv[3].isdigit():
        sys.exit(__doc__)
    path, code, epoch = argv[1], argv[2].encode("ascii"), int(argv[3])
    with open(path, "rb") as f:
        data = bytearray(f.read())
    try:
        offsets = Compound(data).stream_offsets(SUMMARY_NAME)
    except (ValueError, struct.error, IndexError) as e:
        print("msi_summary.py: %s: %s" % (path, e), file=sys.stderr)
        return 1
    stream = bytearray(data[o] for o in offsets)
    # Property set: header, then (format id, offset) of the first section; the
    # section holds its size, the property count and (id, offset) pairs.
    section = struct.unpack_from("<I", stream, 44)[0]
    count = struct.unpack_from("<I", stream, section + 4)[0]
    filetime = (epoch + 11644473600) * 10000000
    written = set()
    for i in range(count):
        pid, at = struct.unpack_from("<II", stream, section + 8 + 8 * i)
        at += section
        kind = struct.unpack_from("<I", stream, at)[0]
        if pid == PID_REVNUMBER and kind == VT_LPSTR:
            length = struct.unpack_from("<I", stream, at + 4)[0]
            if length < len(code):
                break
            stream[at + 8:at + 8 + length] = code + b"\0" * (length - len(code))
            written.add(pid)
        elif pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM) and kind == VT_FILETIME:
            struct.pack_into("<Q", stream, at + 4, filetime)
            written.add(pid)
    if written != {PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM}:
        print("msi_summary.py: %s: the summary information lacks the package code or a date" % path,
              file=sys.stderr)
        return 1
    for o, b in zip(offsets, stream):
        data[o] = b
    tmp = path + ".summary-tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
