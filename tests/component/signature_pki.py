#!/usr/bin/env python3
"""Test PKI and signed files for the signature tests and the signature benchmark.

Usage: signature_pki.py OUTDIR BASE_EXE [--big] [--maker MAKER_EXE]

Creates, with openssl, self-signed test roots ("VeriSign Class 3 Public Primary
CA", "Tessary Test Root", "The USERTrust Network(TM)" to install, "Tessary
Uninstalled Root" never installed), an issuing CA under the first root and
code-signing leaves signed with SHA-1 (WinVerifyTrust then enforces the root
check), signs copies of BASE_EXE and a gcab cabinet with osslsigncode, and
writes OUTDIR/ready last. A legacy counter-signature comes from a loopback time-stamp responder run
here for the duration of one signing. --big also writes big.exe: BASE_EXE padded
to 10 MiB and signed. --maker also writes maker.exe: MAKER_EXE (a program whose
version block names the maker as its company) signed like quellon.exe. Output made by the same version of this script (its
"ready" marker holds the script's digest) is kept, so the roots installed in a
test prefix stay the ones the files chain to.
"""

import base64
import hashlib
import http.server
import os
import random
import shutil
import socket
import subprocess
import sys
import threading

OUT = os.path.abspath(sys.argv[1])
BASE = sys.argv[2]
BIG = "--big" in sys.argv[3:]
MAKER = sys.argv[sys.argv.index("--maker") + 1] if "--maker" in sys.argv[3:-1] else None
TMP = os.path.join(OUT, "pki")


def run(*args, data=None):
    return subprocess.run(args, check=True, input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE).stdout


def path(name):
    return os.path.join(TMP, name)


def make_key(name):
    if not os.path.exists(path(name + ".key")):
        run("openssl", "genrsa", "-out", path(name + ".key"), "2048")


def make_root(name, subject):
    make_key(name)
    ext = path(name + ".ext")
    with open(ext, "w") as f:
        f.write("basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n"
                "subjectKeyIdentifier=hash\n")
    # A request signed by itself, so the extensions come from one file.
    run("openssl", "req", "-new", "-utf8", "-key", path(name + ".key"), "-subj", subject, "-config", "/dev/null",
        "-out", path(name + ".csr"))
    run("openssl", "x509", "-req", "-in", path(name + ".csr"), "-signkey", path(name + ".key"), "-days", "3650",
        "-sha256", "-set_serial", "1", "-extfile", ext, "-out", path(name + ".pem"))
    run("openssl", "x509", "-in", path(name + ".pem"), "-outform", "DER", "-out", os.path.join(OUT, name + ".cer"))


def make_issued(name, subject, issuer, serial, extensions, days):
    """A certificate for `name` issued by `issuer` with the given extension lines."""
    make_key(name)
    ext = path(name + ".ext")
    with open(ext, "w") as f:
        f.write(extensions)
    run("openssl", "req", "-new", "-utf8", "-key", path(name + ".key"), "-subj", subject, "-config", "/dev/null",
        "-out", path(name + ".csr"))
    # SHA-1: Wine's WinVerifyTrust skips the root check for SHA-256-signed leaves.
    run("openssl", "x509", "-req", "-in", path(name + ".csr"), "-CA", path(issuer + ".pem"), "-CAkey",
        path(issuer + ".key"), "-days", days, "-sha1", "-set_serial", serial, "-extfile", ext,
        "-out", path(name + ".pem"))


def make_leaf(name, subject, issuer, serial, usage="codeSigning", extra=""):
    make_issued(name, subject, issuer, serial,
                "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n"
                "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n%s" % (usage, extra), "1825")


def make_issuing_ca(name, subject, issuer, serial):
    make_issued(name, subject, issuer, serial,
                "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n"
                "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n", "3650")


def silent_port():
    """A loopback port, free now, below the usual ephemeral range: the signature test
    listens there (never answering) while a file naming it is verified."""
    rng = random.SystemRandom()
    for _ in range(200):
        port = rng.randrange(20000, 30000)
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
            try:
                probe.bind(("127.0.0.1", port))
            except OSError:
                continue
        return port
    raise RuntimeError("no free loopback port between 20000 and 30000")


def sign(leaf, source, target, extra=(), chain=()):
    if os.path.exists(target):
        os.remove(target)
    certs = path(leaf + ".pem")
    if chain:
        certs = path(leaf + ".chain.pem")
        with open(certs, "w") as out:
            for name in (leaf,) + tuple(chain):
                with open(path(name + ".pem")) as f:
                    out.write(f.read())
    run("osslsigncode", "sign", "-certs", certs, "-key", path(leaf + ".key"), "-h", "sha256",
        *extra, "-in", source, "-out", target)


def extract_signature(signed):
    target = path(os.path.basename(signed) + ".p7")
    if os.path.exists(target):
        os.remove(target)
    run("osslsigncode", "extract-signature", "-in", signed, "-out", target)
    with open(target, "rb") as f:
        return f.read()


def replace_signature(signed, message, target):
    """Copies the signed PE file `signed` with its certificate table holding `message`.

    The signed content covers the same file bytes, so only the table changes
    (attach-signature refuses a message whose first signer it cannot verify)."""
    with open(signed, "rb") as f:
        data = bytearray(f.read())
    with open(message, "rb") as f:
        p7 = f.read()
    pe = int.from_bytes(data[0x3C:0x40], "little")
    optional = pe + 24
    magic = int.from_bytes(data[optional:optional + 2], "little")
    directories = optional + (112 if magic == 0x20B else 96)
    security = directories + 4 * 8
    offset = int.from_bytes(data[security:security + 4], "little")
    # The entry length covers the padding to eight bytes, as the signing tool writes it.
    padded = p7 + b"\0" * (-(8 + len(p7)) % 8)
    entry = (8 + len(padded)).to_bytes(4, "little") + (0x0200).to_bytes(2, "little") + (2).to_bytes(2, "little")
    entry += padded
    data = data[:offset] + entry
    data[security + 4:security + 8] = len(entry).to_bytes(4, "little")
    with open(target, "wb") as f:
        f.write(data)


# --- DER helpers for joining two signatures into one message with two signers.

def read_tlv(data, at):
    """(tag, start of content, end of content) of the element at `at`."""
    tag = data[at]
    length = data[at + 1]
    pos = at + 2
    if length & 0x80:
        count = length & 0x7F
        length = int.from_bytes(data[pos:pos + count], "big")
        pos += count
    return tag, pos, pos + length


def children(data, start, end):
    items = []
    while start < end:
        tag, cstart, cend = read_tlv(data, start)
        items.append((tag, start, cstart, cend))
        start = cend
    return items


def encode(tag, content):
    n = len(content)
    if n < 0x80:
        head = bytes([tag, n])
    else:
        raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
        head = bytes([tag, 0x80 | len(raw)]) + raw
    return head + content


def signed_data_parts(der):
    _, s, e = read_tlv(der, 0)                     # ContentInfo
    oid, explicit = children(der, s, e)
    _, s, e = read_tlv(der, explicit[2])            # SignedData
    return {item[0]: der[item[1]:item[3]] for item in children(der, s, e)} | {
        "items": [(item[0], der[item[1]:item[3]], der[item[2]:item[3]]) for item in children(der, s, e)],
        "oid": der[oid[1]:oid[3]]}


def join_signers(first, second):
    """A message carrying the signer of `first` and then the signer of `second`."""
    a = signed_data_parts(first)
    b = signed_data_parts(second)
    b_by_tag = {tag: content for tag, _, content in b["items"]}
    body = b""
    for tag, whole, content in a["items"]:
        if tag == 0xA0:          # certificates
            body += encode(0xA0, content + b_by_tag[0xA0])
        elif tag == 0x31 and whole is a["items"][-1][1]:   # signerInfos
            body += encode(0x31, content + b_by_tag[0x31])
        else:
            body += whole
    return encode(0x30, a["oid"] + encode(0xA0, encode(0x30, body)))


# --- Loopback responder for legacy (PKCS #9 counter-signature) time stamps.

class StampHandler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        request = base64.b64decode(self.rfile.read(int(self.headers["Content-Length"])))
        # TimeStampRequest: SEQUENCE { OID, SEQUENCE { OID data, [0] { OCTET STRING blob } } }
        _, s, e = read_tlv(request, 0)
        content = children(request, s, e)[1]
        inner = children(request, content[2], content[3])[1]
        _, bs, be = read_tlv(request, inner[2])
        blob = request[bs:be]
        signed = run("openssl", "smime", "-sign", "-binary", "-nodetach", "-nosmimecap", "-md", "sha256",
                     "-signer", path("tsa.pem"), "-inkey", path("tsa.key"), "-outform", "DER", data=blob)
        body = base64.b64encode(signed)
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def sign_stamped(leaf, source, target):
    server = http.server.HTTPServer(("127.0.0.1", 0), StampHandler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        sign(leaf, source, target, ("-t", "http://127.0.0.1:%d/" % server.server_address[1]))
    finally:
        server.shutdown()


def make_big():
    padded = path("big_unsigned.exe")
    shutil.copyfile(BASE, padded)
    with open(padded, "ab") as f:
        f.truncate(10 * 1024 * 1024)
    sign("quellon", padded, os.path.join(OUT, "big.exe"))


def make_maker():
    sign("quellon", MAKER, os.path.join(OUT, "maker.exe"))


def main():
    with open(os.path.abspath(__file__), "rb") as f:
        version = hashlib.sha256(f.read()).hexdigest()
    ready = os.path.join(OUT, "ready")
    if os.path.exists(ready):
        with open(ready) as f:
            if f.read().strip() == version:
                if BIG and not os.path.exists(os.path.join(OUT, "big.exe")):
                    make_big()
                if MAKER and not os.path.exists(os.path.join(OUT, "maker.exe")):
                    make_maker()
                return
    # Made by another version of this script: start over.
    shutil.rmtree(OUT, ignore_errors=True)
    os.makedirs(TMP, exist_ok=True)
    make_root("root_vs", "/O=Tessary Test PKI/CN=VeriSign Class 3 Public Primary CA")
    make_root("root_other", "/O=Tessary Test PKI/CN=Tessary Test Root")
    make_root("root_ut", "/O=Tessary Test PKI/CN=The USERTrust Network\u2122")
    make_leaf("quellon", "/CN=Quellon, Inc.", "root_vs", "0x0A1B2C3D4E5F")
    make_leaf("unit", "/OU=Alpha Core Services/CN=Quellon, Inc.", "root_vs", "0x1001")
    fillers = "".join("/OU=Filler unit %02d of a subject that runs to thousands of characters" % i
                      for i in range(80))
    make_leaf("longname", fillers + "/OU=Alpha Core Services/CN=Quellon, Inc.", "root_vs", "0x1002")
    make_leaf("unlisted", "/CN=Unlisted Maker Ltd", "root_vs", "0x1003")
    make_leaf("other", "/CN=Quellon, Inc.", "root_other", "0x1004")
    make_leaf("usertrust", "/CN=Vorland Corporation", "root_ut", "0x1005")
    make_leaf("fragment", "/O=Durvix Enterprise/OU=Beta Unit/CN=Quellon, Inc.", "root_vs", "0x1007")
    make_leaf("bigserial", "/CN=Quellon, Inc.", "root_vs", "0x7F" + "ab" * 63)
    # A root that is never installed: its files cannot chain to a trusted root.
    make_root("root_absent", "/O=Tessary Test PKI/CN=Tessary Uninstalled Root")
    make_leaf("absent", "/CN=Quellon, Inc.", "root_absent", "0x1008")
    make_leaf("tsa", "/CN=Tessary Test Time Stamping", "root_vs", "0x1006", usage="timeStamping")
    # A maker's leaf under an issuing CA, naming where to fetch that CA, its OCSP
    # responder and its CRL: a loopback port on which the test listens and never
    # answers. fetch.exe carries the leaf alone, fetch_chained.exe the issuing CA too.
    make_issuing_ca("issuing", "/O=Tessary Test PKI/CN=Tessary Test Issuing CA", "root_vs", "0x2001")
    origin = "http://127.0.0.1:%d" % silent_port()
    make_leaf("fetch", "/CN=Quellon, Inc.", "issuing", "0x1009",
              extra="authorityInfoAccess=caIssuers;URI:%s/issuing.cer,OCSP;URI:%s/ocsp\n"
                    "crlDistributionPoints=URI:%s/issuing.crl\n" % (origin, origin, origin))

    base = os.path.join(OUT, "unsigned.exe")
    shutil.copyfile(BASE, base)
    for leaf in ("quellon", "unit", "longname", "unlisted", "other", "usertrust", "fragment", "bigserial"):
        sign(leaf, base, os.path.join(OUT, leaf + ".exe"))
    sign("absent", base, os.path.join(OUT, "absent.exe"), chain=("root_absent",))
    sign("fetch", base, os.path.join(OUT, "fetch.exe"))
    sign("fetch", base, os.path.join(OUT, "fetch_chained.exe"), chain=("issuing",))
    sign_stamped("quellon", base, os.path.join(OUT, "stamped.exe"))

    first = extract_signature(os.path.join(OUT, "unlisted.exe"))
    second = extract_signature(os.path.join(OUT, "quellon.exe"))
    with open(path("two.p7"), "wb") as f:
        f.write(join_signers(first, second))
    replace_signature(os.path.join(OUT, "quellon.exe"), path("two.p7"), os.path.join(OUT, "two_signers.exe"))

    with open(path("payload.txt"), "w") as f:
        f.write("cabinet payload\n")
    cab = path("plain.cab")
    if os.path.exists(cab):
        os.remove(cab)
    run("gcab", "-c", "-n", cab, path("payload.txt"))
    sign("quellon", cab, os.path.join(OUT, "quellon.cab"))

    if BIG:
        make_big()
    if MAKER:
        make_maker()

    with open(ready, "w") as f:
        f.write(version + "\n")


if __name__ == "__main__":
    main()
