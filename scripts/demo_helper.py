#!/usr/bin/env python3
"""Helpers of scripts/demo.sh.

  demo_helper.py update OUTDIR NOTEPAD_MD5
      Writes OUTDIR/updates/appmrg.cab: a cabinet holding the application
      database appmrg.xdb (one LocalCache record for notepad.exe, the service
      settings and a creation stamp), signed with osslsigncode by the update
      checker tests' test publisher, whose root lands in OUTDIR/signing/root.der.
      No plain appmrg.xdb is served beside it, so only the signed cabinet can
      deliver the record.
  demo_helper.py trust-reg DER...
      Prints a registry file that adds the DER certificates to the machine's
      trusted root store (one key per certificate, named by its SHA-1 hash).
  demo_helper.py untrust-keys DER...
      Prints the registry key of each certificate, one a line, for removal.
  demo_helper.py msi-log FILE
      Prints an installation log of msiexec (UTF-16 or ANSI) as UTF-8 lines.
  demo_helper.py traffic PORT [ENDPOINT]
      Prints what the emulator on PORT received, grouped by endpoint; with
      ENDPOINT only the number of requests it received there.
"""

import datetime
import hashlib
import json
import os
import sqlite3
import subprocess
import sys
import urllib.parse
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "updater"))

ROOT_STORE_KEY = r"HKEY_LOCAL_MACHINE\Software\Microsoft\SystemCertificates\Root\Certificates"
# Answer fields end at their first blank: the texts use hyphens.
NOTEPAD_ANSWER = "[Class]=SA||[AppName]=Notepad||[Desc]=From-the-signed-update||[end]=true"
SETTINGS = [("SubmitInterval", "86400"), ("MaxEvents", "500"), ("SubmitPercent", "100"), ("EventsEnabled", "1"),
            ("ConnectTimeout", "5000"), ("SendTimeout", "5000"), ("ReceiveTimeout", "10000")]


def make_update(out, notepad_md5):
    import make_fixtures  # the update checker tests' signing helper

    work = os.path.join(out, "work")
    updates = os.path.join(out, "updates")
    os.makedirs(work, exist_ok=True)
    os.makedirs(updates, exist_ok=True)
    database = os.path.join(work, "appmrg.xdb")
    if os.path.exists(database):
        os.remove(database)
    db = sqlite3.connect(database)
    db.execute("CREATE TABLE LocalCache(Hash,Data)")
    db.execute("CREATE TABLE CreateDate( TimeStamp INTEGER )")
    db.execute("CREATE TABLE Settings( Key TEXT, Value TEXT  )")
    db.execute("INSERT INTO LocalCache VALUES(?, ?)", (notepad_md5, NOTEPAD_ANSWER))
    db.executemany("INSERT INTO Settings VALUES(?, ?)", SETTINGS)
    db.execute("INSERT INTO CreateDate VALUES(?)", (int(datetime.date.today().strftime("%Y%m%d")),))
    db.commit()
    db.close()
    make_fixtures.gcab(work, "appmrg.cab", "appmrg.xdb", cwd=work)
    make_fixtures.sign(out, os.path.join(work, "appmrg.cab"), os.path.join(updates, "appmrg.cab"))
    print("signed update: %s (%d bytes), %d record, %d settings" %
          (os.path.relpath(os.path.join(updates, "appmrg.cab"), out),
           os.path.getsize(os.path.join(updates, "appmrg.cab")), 1, len(SETTINGS)))


def thumbprint(der_path):
    with open(der_path, "rb") as f:
        der = f.read()
    return hashlib.sha1(der).hexdigest().upper(), der


def trust_reg(paths):
    lines = ["REGEDIT4", ""]
    for path in paths:
        sha1, der = thumbprint(path)
        # A serialized store element: property 32 (the encoded certificate), flag 1, length, bytes.
        blob = (32).to_bytes(4, "little") + (1).to_bytes(4, "little") + len(der).to_bytes(4, "little") + der
        hex_bytes = ",".join("%02x" % b for b in blob)
        # Lines of the value continue with a trailing backslash.
        chunks = [hex_bytes[i:i + 75] for i in range(0, len(hex_bytes), 75)]
        lines.append("[%s\\%s]" % (ROOT_STORE_KEY, sha1))
        lines.append('"Blob"=hex:' + "\\\r\n  ".join(chunks))
        lines.append("")
    sys.stdout.write("\r\n".join(lines))


def untrust_keys(paths):
    for path in paths:
        print("%s\\%s" % (ROOT_STORE_KEY, thumbprint(path)[0]))


def traffic(port):
    url = "http://127.0.0.1:%s/__control/requests" % port
    requests = json.load(urllib.request.urlopen(url))["requests"]
    print("%d request(s) in all" % len(requests))
    for endpoint, title in (("manifest", "update manifest (GET, the pass's parameters in the query)"),
                            ("download", "downloads"),
                            ("query", "reputation queries (the emulator's decryption of each request)"),
                            ("feedback", "submission pages"),
                            ("events", "traffic summary report (POST body)"),
                            ("raw", "raw queries (POST body)")):
        got = [r for r in requests if r.get("endpoint") == endpoint]
        print("- %s: %d" % (title, len(got)))
        for r in got:
            if endpoint == "query":
                print("    " + r.get("request_text", "")[:160])
                continue
            query = urllib.parse.unquote(r.get("query", ""))
            print("    %s %s%s" % (r["method"], r["path"][:100], ("?" + query[:200]) if query else ""))
            body = r.get("body", "")
            if body:
                print("      body: " + body[:700].replace("\r\n", " | ").replace("\n", " | "))


def msi_log(path):
    with open(path, "rb") as f:
        data = f.read()
    text = data.decode("utf-16") if data[:2] in (b"\xff\xfe", b"\xfe\xff") else data.decode("latin-1")
    sys.stdout.write(text.replace("\r\n", "\n"))


def main(argv):
    if len(argv) >= 3 and argv[1] == "update":
        make_update(argv[2], argv[3])
    elif len(argv) >= 3 and argv[1] == "trust-reg":
        trust_reg(argv[2:])
    elif len(argv) >= 3 and argv[1] == "untrust-keys":
        untrust_keys(argv[2:])
    elif len(argv) == 3 and argv[1] == "msi-log":
        msi_log(argv[2])
    elif len(argv) == 3 and argv[1] == "traffic":
        traffic(argv[2])
    elif len(argv) == 4 and argv[1] == "traffic":
        url = "http://127.0.0.1:%s/__control/requests?endpoint=%s" % (argv[2], argv[3])
        print(len(json.load(urllib.request.urlopen(url))["requests"]))
    else:
        sys.exit(__doc__)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
