#!/usr/bin/env python3
"""Makes the cabinets and store files the update checker's tests download and
extract, into the directory given as the only argument:

  x.xdb           a store file (LocalCache rows, a CreateDate stamp)
  x.cab           gcab cabinet (MSZIP) holding that store as x.xdb
  tree.cab        gcab cabinet with files in subfolders and a fixed time stamp
  truncated.cab   the first half of tree.cab
  corrupt.cab     tree.cab with its compressed data overwritten
  attributes.cab  stored cabinet: read-only/hidden/system/archive entries, "/"
                  separators, one entry whose time stamp is universal (0x100)
  spanning.cab    stored cabinet that continues a previous cabinet of its set
  escape_*.cab    stored cabinets naming "..\\", "\\" and drive-letter paths
  escape_device.cab  stored cabinet naming DOS devices ("NUL", "com1.txt")
  decoy.cab       stored cabinet whose header points at a harmless decoy file
                  table at its end, while the table right after the folder
                  names "..\\..\\..\\escaped.txt"
  many.cab        stored cabinet of 257 one-byte entries (one above the cap)
  huge_claim.cab  stored cabinet whose one entry claims 300 MiB
  hostile/*/x.cab signed cabinets for a ".xdb" entry: extra/ holds x.xdb and
                  "data\\TsLocal.xdb"; other/ holds only other.xdb; corrupt/
                  holds x.xdb with damaged compressed data; beside each a
                  plain x.xdb
  signed/x.cab, signed/appmrg.cab
                  cabinets (x.xdb, appmrg.xdb) signed with osslsigncode by a
                  test publisher whose root is signing/root.der (the tests
                  trust it in their prefix)
  unsigned/x.cab  the same cabinet without signature
  */x.xdb, */appmrg.xdb
                  another store file: the plain download beside each cabinet

gcab makes the ordinary cabinets; the stored ones are written here because
gcab cannot set attributes, bad names or set flags.
"""

import os
import shutil
import sqlite3
import struct
import subprocess
import sys

STORE_ROWS = [("AAAA0000000000000000000000000001", "[Class]=AB||[end]=true"),
              ("AAAA0000000000000000000000000002", "[Class]=CD||[end]=true")]
STORE_STAMP = 20240105
PLAIN_ROWS = [("BBBB0000000000000000000000000001", "[Class]=PL||[end]=true")]
PLAIN_STAMP = 20230101

CERT_EXTENSIONS = """
[root]
basicConstraints=critical,CA:true
keyUsage=critical,keyCertSign,cRLSign
subjectKeyIdentifier=hash
[leaf]
basicConstraints=CA:false
keyUsage=critical,digitalSignature
extendedKeyUsage=codeSigning
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
"""


def dos_date(year, month, day):
    return ((year - 1980) << 9) | (month << 5) | day


def dos_time(hour, minute, second):
    return (hour << 11) | (minute << 5) | (second // 2)


def stored_cabinet(entries, flags=0, previous=None, continued_from_previous=False):
    """A cabinet without compression. entries: (name bytes, data, date, time, attributes)."""
    header_size = 36
    extra = b""
    if previous:
        flags |= 0x0001
        extra += previous.encode() + b"\0" + b"disk1\0"
    folder_at = header_size + len(extra)
    files_at = folder_at + 8
    file_table = b""
    offset = 0
    data = b""
    for index, (name, content, date, time_, attributes) in enumerate(entries):
        folder = 0xFFFD if continued_from_previous and index == 0 else 0
        file_table += struct.pack("<IIHHHH", len(content), offset, folder, date, time_, attributes) + name + b"\0"
        offset += len(content)
        data += content
    data_at = files_at + len(file_table)
    blocks = b""
    count = 0
    for start in range(0, max(len(data), 1), 32768):
        chunk = data[start:start + 32768]
        blocks += struct.pack("<IHH", 0, len(chunk), len(chunk)) + chunk
        count += 1
    total = data_at + len(blocks)
    header = struct.pack("<4sIIIIIBBHHHHH", b"MSCF", 0, total, 0, files_at, 0, 3, 1, 1, len(entries), flags, 0x1234,
                         1 if previous else 0)
    folder = struct.pack("<IHH", data_at, count, 0)
    return header + extra + folder + file_table + blocks


def decoy_cabinet(real, decoy):
    """A stored cabinet with one data block: the file table FDI reads right after
    the folder holds `real`, the header's file-table offset points at `decoy`
    (same count) placed after the data. Entries: (name bytes, data)."""
    date, time_ = dos_date(2019, 3, 4), dos_time(5, 6, 8)
    header_size, folder_size = 36, 8
    table = b""
    offset = 0
    data = b""
    for name, content in real:
        table += struct.pack("<IIHHHH", len(content), offset, 0, date, time_, 0x20) + name + b"\0"
        offset += len(content)
        data += content
    data_at = header_size + folder_size + len(table)
    block = struct.pack("<IHH", 0, len(data), len(data)) + data
    decoy_at = data_at + len(block)
    decoy_table = b""
    offset = 0
    for name, content in decoy:
        decoy_table += struct.pack("<IIHHHH", len(content), offset, 0, date, time_, 0x20) + name + b"\0"
        offset += len(content)
    total = decoy_at + len(decoy_table)
    header = struct.pack("<4sIIIIIBBHHHHH", b"MSCF", 0, total, 0, decoy_at, 0, 3, 1, 1, len(real), 0, 0x1234, 0)
    return header + struct.pack("<IHH", data_at, 1, 0) + table + block + decoy_table


def make_store(path, rows=STORE_ROWS, stamp=STORE_STAMP):
    if os.path.exists(path):
        os.remove(path)
    db = sqlite3.connect(path)
    db.execute("CREATE TABLE LocalCache(Hash,Data)")
    db.execute("CREATE TABLE CreateDate( TimeStamp INTEGER )")
    db.executemany("INSERT INTO LocalCache VALUES(?, ?)", rows)
    db.execute("INSERT INTO CreateDate VALUES(?)", (stamp,))
    db.commit()
    db.close()


def gcab(out, cabinet, *files, cwd):
    subprocess.run(["gcab", "-c", "-z", os.path.join(out, cabinet), *files], cwd=cwd, check=True)


def sign(out, source, target):
    """Signs `source` into `target` with a test publisher under a test root (made once)."""
    keys = os.path.join(out, "signing")
    os.makedirs(keys, exist_ok=True)
    config = os.path.join(keys, "extensions.cnf")
    root_key, root_pem = os.path.join(keys, "root.key"), os.path.join(keys, "root.pem")
    leaf_key, leaf_pem = os.path.join(keys, "leaf.key"), os.path.join(keys, "leaf.pem")
    if not os.path.exists(os.path.join(keys, "root.der")):
        with open(config, "w") as f:
            f.write("[req]\ndistinguished_name=dn\n[dn]\n" + CERT_EXTENSIONS)
        quiet = {"check": True, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", root_key, "-out",
                        root_pem, "-days", "3650", "-subj", "/CN=Tessary Test Root", "-config", config,
                        "-extensions", "root"], **quiet)
        csr = os.path.join(keys, "leaf.csr")
        subprocess.run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", leaf_key, "-out", csr,
                        "-subj", "/CN=Tessary Test Publisher", "-config", config], **quiet)
        subprocess.run(["openssl", "x509", "-req", "-in", csr, "-CA", root_pem, "-CAkey", root_key,
                        "-CAcreateserial", "-out", leaf_pem, "-days", "3650", "-extfile", config, "-extensions",
                        "leaf"], **quiet)
        subprocess.run(["openssl", "x509", "-in", root_pem, "-outform", "DER", "-out",
                        os.path.join(keys, "root.der")], **quiet)
    if os.path.exists(target):
        os.remove(target)
    subprocess.run(["osslsigncode", "sign", "-certs", leaf_pem, "-key", leaf_key, "-h", "sha256", "-in", source,
                    "-out", target], check=True, stdout=subprocess.DEVNULL)


def main(out):
    os.makedirs(out, exist_ok=True)
    work = os.path.join(out, "work")
    os.makedirs(os.path.join(work, "sub", "deeper"), exist_ok=True)

    make_store(os.path.join(work, "x.xdb"))
    make_store(os.path.join(out, "x.xdb"))
    gcab(out, "x.cab", "x.xdb", cwd=work)
    make_store(os.path.join(work, "appmrg.xdb"))
    gcab(work, "appmrg.cab", "appmrg.xdb", cwd=work)
    for folder in ("signed", "unsigned"):
        os.makedirs(os.path.join(out, folder), exist_ok=True)
        for name in ("x.xdb", "appmrg.xdb"):
            make_store(os.path.join(out, folder, name), PLAIN_ROWS, PLAIN_STAMP)
    sign(out, os.path.join(out, "x.cab"), os.path.join(out, "signed", "x.cab"))
    sign(out, os.path.join(work, "appmrg.cab"), os.path.join(out, "signed", "appmrg.cab"))
    shutil.copyfile(os.path.join(out, "x.cab"), os.path.join(out, "unsigned", "x.cab"))

    stamp = 1589710830  # 2020-05-17 10:20:30 UTC
    for name, text in (("root.txt", b"root file\n"), ("sub/a.txt", b"in sub\n"), ("sub/deeper/b.txt", b"deeper\n" * 5000)):
        path = os.path.join(work, name)
        with open(path, "wb") as f:
            f.write(text)
        os.utime(path, (stamp, stamp))
    gcab(out, "tree.cab", "root.txt", "sub/a.txt", "sub/deeper/b.txt", cwd=work)

    with open(os.path.join(out, "tree.cab"), "rb") as f:
        tree = f.read()
    with open(os.path.join(out, "truncated.cab"), "wb") as f:
        f.write(tree[:len(tree) // 2])
    corrupt = bytearray(tree)
    data_at = struct.unpack_from("<I", tree, 36)[0]  # first data block of the only folder
    for i in range(data_at + 8 + 4, len(corrupt)):
        corrupt[i] ^= 0x5A
    with open(os.path.join(out, "corrupt.cab"), "wb") as f:
        f.write(bytes(corrupt))

    date, time_ = dos_date(2019, 3, 4), dos_time(5, 6, 8)
    entries = [(b"readonly.txt", b"r", date, time_, 0x01), (b"hidden.txt", b"h", date, time_, 0x02),
               (b"system.txt", b"s", date, time_, 0x04), (b"dir/archive.txt", b"a", date, time_, 0x20),
               (b"dir/utc.txt", b"u", date, time_, 0x100 | 0x20)]
    with open(os.path.join(out, "attributes.cab"), "wb") as f:
        f.write(stored_cabinet(entries))
    with open(os.path.join(out, "spanning.cab"), "wb") as f:
        f.write(stored_cabinet([(b"part.txt", b"tail of a file", date, time_, 0x20)], previous="first.cab",
                               continued_from_previous=True))
    for label, name in (("dotdot", b"..\\escaped.txt"), ("deep_dotdot", b"sub\\..\\..\\escaped.txt"),
                        ("absolute", b"\\escaped.txt"), ("drive", b"C:\\escaped.txt")):
        with open(os.path.join(out, "escape_%s.cab" % label), "wb") as f:
            f.write(stored_cabinet([(b"inside.txt", b"fine", date, time_, 0x20), (name, b"bad", date, time_, 0x20)]))
    with open(os.path.join(out, "escape_device.cab"), "wb") as f:
        f.write(stored_cabinet([(b"NUL", b"bad", date, time_, 0x20), (b"sub\\com1.txt", b"bad", date, time_, 0x20)]))
    with open(os.path.join(out, "decoy.cab"), "wb") as f:
        f.write(decoy_cabinet([(b"..\\..\\..\\escaped.txt", b"bad"), (b"inside.txt", b"fine")],
                              [(b"harmless.txt", b"bad"), (b"inside.txt", b"fine")]))
    with open(os.path.join(out, "many.cab"), "wb") as f:
        f.write(stored_cabinet([(b"f%03d.txt" % i, b"x", date, time_, 0x20) for i in range(257)]))
    claim = bytearray(stored_cabinet([(b"claim.txt", b"x", date, time_, 0x20)]))
    files_at = struct.unpack_from("<I", claim, 16)[0]
    struct.pack_into("<I", claim, files_at, 300 * 1024 * 1024)
    with open(os.path.join(out, "huge_claim.cab"), "wb") as f:
        f.write(bytes(claim))

    # Signed cabinets that deliver more, or less, than the expected database.
    hostile = os.path.join(work, "hostile")
    os.makedirs(os.path.join(hostile, "data"), exist_ok=True)
    make_store(os.path.join(hostile, "x.xdb"))
    make_store(os.path.join(hostile, "other.xdb"))
    with open(os.path.join(hostile, "data", "TsLocal.xdb"), "wb") as f:
        f.write(b"not the local store")
    for label, files in (("extra", ("x.xdb", "data/TsLocal.xdb")), ("other", ("other.xdb",)), ("corrupt", ("x.xdb",))):
        folder = os.path.join(out, "hostile", label)
        os.makedirs(folder, exist_ok=True)
        make_store(os.path.join(folder, "x.xdb"), PLAIN_ROWS, PLAIN_STAMP)
        gcab(work, "hostile_%s.cab" % label, *files, cwd=hostile)
        cabinet = os.path.join(work, "hostile_%s.cab" % label)
        if label == "corrupt":
            with open(cabinet, "rb") as f:
                damaged = bytearray(f.read())
            block_at = struct.unpack_from("<I", damaged, 36)[0]
            for i in range(block_at + 8 + 16, len(damaged)):
                damaged[i] ^= 0x5A
            with open(cabinet, "wb") as f:
                f.write(bytes(damaged))
        sign(out, cabinet, os.path.join(folder, "x.cab"))
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_fixtures.py <output directory>")
    sys.exit(main(sys.argv[1]))
