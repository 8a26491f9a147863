#!/usr/bin/env python3
"""The Windows Installer package under Wine's msiexec, in a Wine prefix of its own.

Builds the package twice from the same binaries (this version and one build number
lower), checks its tables with msidump/msiinfo, then on a fresh prefix:
  - a failed installation (a folder too long for the component server) rolls back
    completely, including a registration of tsapi.dll made by hand from elsewhere;
  - installing the older package over that hand registration takes it over, says so
    in the log, and writes the same HKCR keys the DLL's own registration wrote;
  - the installed files work: COM activation through the Program Files copy (tsctl),
    the version object reports both modules, a TSUpdChk pass from the install folder;
  - the newer package replaces the older one (one product, data kept), and the
    older one refuses to go back over it;
  - the packages are signed by the build's test publisher: with its root trusted by
    the prefix and named as an accepted root by the update, `tsctl verify` finds a
    good signature on every installed file, the custom-action DLL and the package,
    and none on a copy of each with one byte changed;
  - a repair restores a deleted TSUpdChk.exe and the COM registration;
  - removal leaves no file in the install folder and none of our keys but user data;
    a second removal ends with "unknown product"; REMOVEUSERDATA=1 takes the data too.

  install_test.py [--build-dir DIR] [--keep]
Exit code 0 when every check passed (skipped checks say what Wine lacks).
"""

import argparse
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
UPGRADE_CODE = "{EA7F3988-93D0-4095-BE79-C13206971E47}"
APPID = "{02FCCD7B-1F18-458D-B1C3-B6AEB20124FD}"
LIBID = "{9A05CED2-C82B-4E04-8164-DF7F08E86834}"
ROOT_CLSID = "{36C29AB6-FF73-4f74-A2D1-C5C09B54E5C9}"
PROXY_CLSID = "{44B3BCF5-7465-4E27-902E-161D1C0105C7}"  # the proxy/stub factory of tsapips.dll
INSTALL_DIR = r"C:\Program Files\Quellon\Tessary"
PRODUCT_KEY = r"HKLM\SOFTWARE\Quellon\Tessary"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
ERROR_UNKNOWN_PRODUCT = 1605
ERROR_INSTALL_FAILURE = 1603
NOTEPAD_MD5 = "0123456789ABCDEF0123456789ABCDEF"  # the record the update delivers
TEST_ROOT = "Tessary Test Release Root"  # scripts/test-publisher.sh
ACCEPTED_ROOT = 1  # DigSigInfo3 type of an accepted root's friendly name

failures = []


def check(name, ok, detail=""):
    print("%s %s%s" % ("PASS" if ok else "FAIL", name, "" if ok or not detail else ": " + str(detail)))
    if not ok:
        failures.append(name)
    return ok


def exit_code_is(code, expected):
    """Wine hands a Windows exit code to Linux as its low 8 bits (1603 arrives as 67)."""
    return code == expected or code == expected & 0xFF


def skip(name, reason):
    print("SKIP %s: %s" % (name, reason))


class Wine:
    """Runs Windows programs in the test's own prefix, with one wineserver for the whole run."""

    def __init__(self, prefix):
        self.prefix = prefix
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEARCH="win64",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.drive_c = os.path.join(prefix, "drive_c")

    def up(self):
        shutil.rmtree(self.prefix, ignore_errors=True)
        os.makedirs(self.prefix)
        subprocess.run(["wineboot", "-i"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env)
        subprocess.run(["wineserver", "-p"], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        # Started now, the prefix's system processes do not hold any later command's output.
        subprocess.run(["wine", "cmd", "/c", "exit"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)

    def down(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def run(self, *args, timeout=300):
        # Output goes to a file, not a pipe: a process the program starts (a service,
        # the custom action server) may outlive it and would hold a pipe open.
        with tempfile.TemporaryFile() as out:
            done = subprocess.run(["wine"] + list(args), env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.DEVNULL, timeout=timeout)
            out.seek(0)
            return done.returncode, out.read().decode("utf-8", "replace").replace("\r", "")

    def unix(self, windows_path):
        """The prefix's file for a C: path."""
        assert windows_path[:3].upper() == "C:\\", windows_path
        return os.path.join(self.drive_c, *windows_path[3:].split("\\"))

    def msiexec(self, *args):
        code, _ = self.run("msiexec", *args, timeout=600)
        return code

    def reg_value(self, key, name):
        """The value's data as reg.exe prints it, or None when absent."""
        code, out = self.run("reg", "query", key, "/v", name)
        if code != 0:
            return None
        for line in out.splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and line.strip().startswith(name) and "REG_" in line:
                after = line.strip()[len(name):].strip().split(None, 1)
                return after[1] if len(after) > 1 else ""
        return None

    def key_exists(self, key):
        return self.run("reg", "query", key)[0] == 0

    def classes(self, work):
        """Our keys under HKLM\\Software\\Classes as {relative key (lower case): {value name: data}}."""
        out = os.path.join(work, "classes.reg")
        if os.path.exists(out):
            os.remove(out)
        code, text = self.run("reg", "export", r"HKLM\Software\Classes", "Z:" + out.replace("/", "\\"), "/y")
        if code != 0:
            raise RuntimeError("reg export failed: " + text)
        with open(out, "rb") as f:
            data = f.read()
        text = data.decode("utf-16") if data[:2] in (b"\xff\xfe", b"\xfe\xff") else data.decode("latin-1")
        return our_keys(parse_reg(text))


def product_installed(wine):
    """DisplayVersion of every installed product named Quellon Tessary."""
    _, out = wine.run("reg", "query", UNINSTALL_KEY)
    keys = [line.strip() for line in out.splitlines() if line.strip().upper().startswith("HKEY_")]
    return [wine.reg_value(k, "DisplayVersion") for k in keys if wine.reg_value(k, "DisplayName") == "Quellon Tessary"]


def parse_reg(text):
    keys = {}
    current = None
    pending = ""
    for raw in text.splitlines():
        line = pending + raw
        if line.endswith("\\") and not line.endswith('\\\\"'):
            pending = line[:-1]
            continue
        pending = ""
        if line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1], {})
        elif current is not None and "=" in line:
            m = re.match(r'^(@|"(?:[^"\\]|\\.)*")=(.*)$', line)
            if not m:
                continue
            name = "" if m.group(1) == "@" else m.group(1)[1:-1].replace('\\"', '"').replace("\\\\", "\\")
            value = m.group(2)
            if value.startswith('"') and value.endswith('"'):
                value = value[1:-1].replace('\\"', '"').replace("\\\\", "\\")
            current[name] = value
    return keys


def our_keys(keys):
    prefix = "hkey_local_machine\\software\\classes\\"
    rel = {k.lower()[len(prefix):]: v for k, v in keys.items() if k.lower().startswith(prefix)}
    roots = {"appid\\" + APPID.lower(), "appid\\tsapi.dll", "typelib\\" + LIBID.lower(),
             "clsid\\" + PROXY_CLSID.lower()}
    for key, values in rel.items():
        parts = key.split("\\")
        if len(parts) == 2 and parts[0] == "clsid" and values.get("AppID", "").lower() == APPID.lower():
            roots.add(key)
        if len(parts) == 3 and parts[0] == "interface" and parts[2] == "typelib" and \
                values.get("", "").lower() == LIBID.lower():
            roots.add("\\".join(parts[:2]))
        if len(parts) == 3 and parts[0] == "interface" and parts[2] == "proxystubclsid32" and \
                values.get("", "").lower() == PROXY_CLSID.lower():
            roots.add("\\".join(parts[:2]))
    return {k: v for k, v in rel.items() if any(k == r or k.startswith(r + "\\") for r in roots)}


def normalised(classes, module):
    """The keys with the registered module's path and folder replaced by placeholders."""
    folder = module.rsplit("\\", 1)[0]
    out = {}
    for key, values in classes.items():
        out[key] = {n: v.replace(module, "<MODULE>").replace(module.lower(), "<MODULE>")
                    .replace(folder, "<DIR>").replace(folder.lower(), "<DIR>") for n, v in values.items()}
    return out


def differing(a, b):
    """Keys whose values differ between two snapshots, or that only one has."""
    return sorted(k for k in set(a) | set(b) if a.get(k) != b.get(k))


def registered_server(classes):
    return classes.get("clsid\\" + ROOT_CLSID.lower() + "\\inprocserver32", {}).get("")


def read_table(folder, table):
    path = os.path.join(folder, table + ".idt")
    if not os.path.exists(path):
        return []
    with open(path, encoding="latin-1", newline="") as f:
        lines = f.read().replace("\r\n", "\n").split("\n")
    return [line.split("\t") for line in lines[3:] if line]


def check_tables(package, version, older_package, work):
    """The package's tables as intended, read back with msidump and msiinfo."""
    folder = os.path.join(work, "tables-" + version)
    os.makedirs(folder)
    # msidump writes binary streams below its working folder.
    subprocess.run(["msidump", "-d", folder, package], check=True, stdout=subprocess.DEVNULL, cwd=folder)
    older = os.path.join(work, "tables-older")
    os.makedirs(older)
    subprocess.run(["msidump", "-d", older, older_package], check=True, stdout=subprocess.DEVNULL, cwd=older)
    prop = {r[0]: r[1] for r in read_table(folder, "Property")}
    old_prop = {r[0]: r[1] for r in read_table(older, "Property")}
    check("tables: ProductVersion is the binaries' version", prop.get("ProductVersion") == version, prop)
    check("tables: one UpgradeCode, a ProductCode per version",
          prop.get("UpgradeCode") == old_prop.get("UpgradeCode") == UPGRADE_CODE and
          prop.get("ProductCode") != old_prop.get("ProductCode"), (prop.get("ProductCode"), old_prop.get("ProductCode")))
    check("tables: per machine, REMOVEUSERDATA off by default and secure",
          prop.get("ALLUSERS") == "1" and prop.get("REMOVEUSERDATA") == "0" and
          "REMOVEUSERDATA" in prop.get("SecureCustomProperties", "").split(";"), prop)
    check("tables: Restart Manager never stops the firewall service that holds tsapi.dll",
          prop.get("MSIRESTARTMANAGERCONTROL") == "Disable", prop)
    info = subprocess.run(["msiinfo", "suminfo", package], capture_output=True, text=True).stdout
    check("summary: x64 package", re.search(r"Template:\s*x64;1033", info) is not None, info)

    directory = {r[0]: (r[1], r[2]) for r in read_table(folder, "Directory")}

    def chain(d):
        names = []
        while d in directory and directory[d][0]:
            names.append(d if directory[d][1] == "." else directory[d][1])
            d = directory[d][0]
        return "\\".join(reversed(names))

    check("tables: install folder is ProgramFiles64Folder\\Quellon\\Tessary",
          chain("INSTALLDIR") == "ProgramFiles64Folder\\Quellon\\Tessary", chain("INSTALLDIR"))
    components = {r[0]: r for r in read_table(folder, "Component")}
    check("tables: every component is 64-bit", components and all(int(c[3]) & 256 for c in components.values()),
          components)
    files = {r[0]: r[1] for r in read_table(folder, "File")}
    features = {}
    for feature, component in read_table(folder, "FeatureComponents"):
        features.setdefault(feature, set()).add(component)
    file_feature = {f: [ft for ft, comps in features.items() if c in comps] for f, c in files.items()}
    check("tables: tsapi.dll and TSUpdChk.exe in the install folder, feature Core",
          all(components[files[f]][2] == "INSTALLDIR" and file_feature[f] == ["Core"]
              for f in ("tsapi.dll", "TSUpdChk.exe")), file_feature)
    check("tables: tsctl.exe alone in the optional feature Tools",
          file_feature.get("tsctl.exe") == ["Tools"] and features.get("Tools") == {files["tsctl.exe"]}, features)
    registry = read_table(folder, "Registry")
    check("tables: the only registry row is HKLM Install Dir = [INSTALLDIR]",
          [r[1:5] for r in registry] == [["2", "SOFTWARE\\Quellon\\Tessary", "Install Dir", "[INSTALLDIR]"]],
          registry)
    create = read_table(folder, "CreateFolder")
    check("tables: the common data folder is created",
          [r[0] for r in create] == ["DATADIR"] and chain("DATADIR") == "CommonAppDataFolder\\Quellon\\Tessary",
          (create, chain("DATADIR")))
    actions = {r[0]: r for r in read_table(folder, "CustomAction")}
    expected_types = {"RegisterServer": "3073", "UnregisterServer": "3073", "RollbackRegisterServer": "3393",
                      "RollbackUnregisterServer": "3393", "RemoveUserData": "3649", "FindPreviousServer": "2113",
                      "CommitRegisterServer": "3649", "SecureDataFolders": "3073"}
    check("tables: custom actions deferred, rollback and commit as intended, from tssetup.dll",
          all(actions.get(a, [None, None, None])[1:3] == [t, "TsSetupActions"] for a, t in expected_types.items()) and
          [r[0] for r in read_table(folder, "Binary")] == ["TsSetupActions"] and
          os.path.getsize(os.path.join(folder, "Binary", "Binary.TsSetupActions")) > 10000,
          {a: actions.get(a, [None])[1:4] for a in expected_types})
    seq = {r[0]: (int(r[2]), r[1]) for r in read_table(folder, "InstallExecuteSequence")}
    order = lambda *names: all(seq[a][0] < seq[b][0] for a, b in zip(names, names[1:]))  # noqa: E731
    check("sequence: old version removed inside the transaction",
          order("InstallInitialize", "RemoveExistingProducts", "ProcessComponents"), seq.get("RemoveExistingProducts"))
    check("sequence: registration after the files, unregistration before they go",
          order("InstallFiles", "RollbackRegisterServer", "RegisterServer", "InstallFinalize") and
          order("RollbackUnregisterServer", "UnregisterServer", "RemoveFiles") and
          seq["RegisterServer"][1] == "$tsapi=3" and seq["UnregisterServer"][1] == "$tsapi=2",
          {a: seq.get(a) for a in ("RegisterServer", "UnregisterServer", "InstallFiles", "RemoveFiles")})
    check("sequence: user data removed only on request, at commit",
          order("RemoveUserData", "InstallFinalize") and "REMOVEUSERDATA=\"1\"" in seq["RemoveUserData"][1] and
          "NOT UPGRADINGPRODUCTCODE" in seq["RemoveUserData"][1], seq.get("RemoveUserData"))
    upgrade = read_table(folder, "Upgrade")
    check("tables: older versions are upgraded, a newer one blocks",
          sorted((r[1], r[2], r[4], r[6]) for r in upgrade) ==
          sorted([("0.0.0", version, "256", "TS_OLDER_FOUND"), (version, "", "2", "TS_NEWER_FOUND")]), upgrade)


def make_update(files):
    """A plain store update holding one record, as the service delivers it."""
    updates = os.path.join(files, "updates")
    os.makedirs(updates, exist_ok=True)
    db = sqlite3.connect(os.path.join(updates, "appmrg.xdb"))
    db.execute("CREATE TABLE LocalCache(Hash,Data)")
    db.execute("CREATE TABLE CreateDate( TimeStamp INTEGER )")
    db.execute("INSERT INTO LocalCache VALUES(?, ?)", (NOTEPAD_MD5, "[Class]=SA||[AppName]=Installed||[end]=true"))
    db.execute("INSERT INTO CreateDate VALUES(20260101)")
    # The test publisher's root is accepted as the update names it.
    db.execute("CREATE TABLE DigSigInfo3( Type INTEGER, Data TEXT )")
    db.execute("INSERT INTO DigSigInfo3 VALUES(?, ?)", (ACCEPTED_ROOT, TEST_ROOT))
    db.commit()
    db.close()


def store_has_record(path):
    if not os.path.exists(path):
        return False
    db = sqlite3.connect(path)
    try:
        return db.execute("SELECT COUNT(*) FROM LocalCache WHERE Hash = ?", (NOTEPAD_MD5,)).fetchone()[0] == 1
    except sqlite3.Error:
        return False
    finally:
        db.close()


def log_text(path):
    if not os.path.exists(path):
        return ""
    with open(path, "rb") as f:
        data = f.read()
    return data.decode("utf-16") if data[:2] == b"\xff\xfe" else data.decode("latin-1")


def trust_test_root(wine, build, work):
    """Adds the build's test publisher root to the prefix's trusted root store."""
    reg = os.path.join(work, "test-root.reg")
    with open(reg, "w", newline="") as f:
        subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "demo_helper.py"), "trust-reg",
                        os.path.join(build, "test-publisher", "root.cer")], check=True, stdout=f)
    return wine.run("reg", "import", "Z:" + reg.replace("/", "\\"))[0] == 0


def check_signatures(wine, tsctl, signed, root_pem):
    """tsctl verify: good on each signed file, not good on a copy with one byte changed."""
    tampered_dir = r"C:\tampered"
    os.makedirs(wine.unix(tampered_dir), exist_ok=True)
    tampered = []
    for path in signed:
        name = path.rsplit("\\", 1)[1]
        with open(wine.unix(path), "rb") as f:
            data = bytearray(f.read())
        data[len(data) // 2] ^= 0x01  # inside the signed content (code or tables), not the signature
        copy = tampered_dir + "\\" + name
        with open(wine.unix(copy), "wb") as f:
            f.write(data)
        tampered.append(copy)
    code, out = wine.run(tsctl, "verify", *signed)
    lines = {line.rsplit(": ", 1)[0]: line.rsplit(": ", 1)[1] for line in out.splitlines() if ": " in line}
    check("tsctl verify: a good signature on every installed file, the custom actions and the package",
          code == 0 and all(lines.get(p) == "good signature" for p in signed), out)
    for path in tampered:
        name = path.rsplit("\\", 1)[1]
        code, out = wine.run(tsctl, "verify", path)
        if name.endswith(".msi") and code == 0:
            skip("tsctl verify: no good signature on %s with one byte changed" % name,
                 "Wine 8's WinVerifyTrust compares the signed digest with the file's content for PE images only, "
                 "not for Windows Installer packages; osslsigncode checks the changed package instead")
            done = subprocess.run(["osslsigncode", "verify", "-CAfile", root_pem, "-in", wine.unix(path)],
                                  capture_output=True, text=True)
            check("osslsigncode: the package with one byte changed fails its digest check",
                  done.returncode != 0 and "MISMATCH" in (done.stdout + done.stderr).upper(), done.stdout[-400:])
            continue
        check("tsctl verify: no good signature on %s with one byte changed" % name,
              code == 1 and out.strip() == path + ": no good signature", (code, out))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build"))
    parser.add_argument("--keep", action="store_true", help="keep the prefix and the work folder")
    args = parser.parse_args()
    build = os.path.abspath(args.build_dir)
    with open(os.path.join(ROOT, "VERSION")) as f:
        version = f.readline().strip()
    major, minor, number, _ = (int(p) for p in version.split("."))
    older_version = "%d.%d.%d.0" % (major, minor, number - 1)
    work = tempfile.mkdtemp(prefix="tessary-install-")
    wine = Wine(os.path.join(build, "install-wineprefix"))
    emulator = None
    try:
        packages = {}
        for v in (version, older_version):
            packages[v] = os.path.join(work, "tessary-%s-x64.msi" % v)
            subprocess.run(["bash", os.path.join(ROOT, "scripts", "package.sh"), "--build-dir", build,
                            "--version", v, "--output", packages[v], "--package-only"], check=True,
                           stdout=subprocess.DEVNULL)
        check_tables(packages[version], version, packages[older_version], work)
        win = {v: "Z:" + p.replace("/", "\\") for v, p in packages.items()}
        logs = lambda name: (os.path.join(work, name + ".log"), "Z:" + os.path.join(work, name + ".log").replace("/", "\\"))  # noqa: E731

        wine.up()
        check("the test publisher's root is trusted by the prefix", trust_test_root(wine, build, work))
        installed_dll = INSTALL_DIR + "\\tsapi.dll"
        # A copy registered by hand from another folder, as before the package existed.
        hand_dir = r"C:\handcopy"
        os.makedirs(wine.unix(hand_dir))
        for dll in ("tsapi.dll", "tsapips.dll"):
            shutil.copy(os.path.join(build, "bin", dll), wine.unix(hand_dir + "\\" + dll))
        code, out = wine.run("regsvr32", "/s", hand_dir + "\\tsapi.dll")
        proxy_code, proxy_out = wine.run("regsvr32", "/s", hand_dir + "\\tsapips.dll")
        hand = wine.classes(work)
        check("hand registration of the server and its proxies from C:\\handcopy",
              code == 0 and proxy_code == 0 and registered_server(hand) == hand_dir + "\\tsapi.dll" and
              hand.get("clsid\\" + PROXY_CLSID.lower() + "\\inprocserver32", {}).get("") ==
              hand_dir + "\\tsapips.dll",
              (code, proxy_code, registered_server(hand)))
        # The registered file is now one that leaves a marker when anything loads it:
        # a folder like this one may be writable by any user, and the package's
        # actions run as SYSTEM, so they must never load it.
        shutil.copy(os.path.join(build, "bin", "foreign_server.dll"), wine.unix(hand_dir + "\\tsapi.dll"))
        marker = wine.unix(hand_dir + "\\loaded.marker")

        # A failed installation rolls back completely: the component server cannot
        # register from a folder whose path does not fit its 260-character buffer.
        long_dir = "C:\\" + "\\".join(["L" * 100, "M" * 100, "N" * 60])
        log, log_win = logs("failed")
        code = wine.msiexec("/i", win[older_version], "/qn", "INSTALLDIR=" + long_dir, "/l*v", log_win)
        after = wine.classes(work)
        check("failed install ends with 1603", exit_code_is(code, ERROR_INSTALL_FAILURE), code)
        check("failed install: the log says why", "failed with 0x8007007A" in log_text(log),
              "no registration failure in " + log)
        check("failed install: no file, no Install Dir, no product left",
              not os.path.exists(wine.unix(long_dir + "\\tsapi.dll")) and
              wine.reg_value(PRODUCT_KEY, "Install Dir") is None and
              not product_installed(wine))
        check("failed install: the hand registration is back as it was", after == hand,
              differing(after, hand))
        check("failed install: the hand-registered DLL was never loaded", not os.path.exists(marker),
              open(marker).read() if os.path.exists(marker) else "")

        # Install the older package over the hand registration.
        log, log_win = logs("install")
        code = wine.msiexec("/i", win[older_version], "/qn", "/l*v", log_win)
        check("quiet install of %s" % older_version, code == 0, code)
        text = log_text(log)
        check("install log names the hand registration it replaced",
              'tsapi.dll was registered from "C:\\handcopy\\tsapi.dll"' in text, log)
        check("install removes the hand registration's keys without loading that DLL",
              not os.path.exists(marker) and 'keys of the registration from "C:\\handcopy\\tsapi.dll" without loading it'
              in text, open(marker).read() if os.path.exists(marker) else log)
        saved_code, saved = wine.run("reg", "query", r"HKLM\SOFTWARE\Quellon\TessarySetup")
        check("the saved keys of the replaced registration are dropped at commit", saved_code != 0, saved)
        # Each folder is created (or taken over) by the custom action with the descriptor
        # of the one model (platform/security_descriptor.cpp); Wine keeps no file
        # descriptor, so the installation log's record of each call is what shows it.
        product = ("O:S-1-5-32-544D:P(A;0x3;0x1f01ff;S-1-5-18)(A;0x3;0x1f01ff;S-1-5-32-544)"
                   "(A;0x3;0x1200a9;S-1-5-11)")
        data = product + "(A;0x0;0x2;S-1-5-11)(A;0x9;0x13019f;S-1-3-0)"
        for folder, described in ((r"C:\ProgramData\Quellon", product), (r"C:\ProgramData\Quellon\Tessary", product),
                                  (r"C:\ProgramData\Quellon\Tessary\data", data),
                                  (r"C:\ProgramData\Quellon\QNLOGS", product)):
            line = 'folder "%s": CreateDirectoryW with %s' % (folder, described)
            check("custom action creates %s with the model's descriptor" % folder, line in text,
                  [l for l in text.splitlines() if folder in l and "folder" in l][:4])
        installed = wine.classes(work)
        check("registration points at the Program Files copy", registered_server(installed) == installed_dll,
              registered_server(installed))
        check("package writes the same HKCR keys as registering the DLL by hand",
              normalised(installed, installed_dll) == normalised(hand, hand_dir + "\\tsapi.dll"),
              [(k, normalised(installed, installed_dll).get(k), normalised(hand, hand_dir + "\\tsapi.dll").get(k))
               for k in differing(normalised(installed, installed_dll), normalised(hand, hand_dir + "\\tsapi.dll"))])
        check("files in the install folder",
              all(os.path.isfile(wine.unix(INSTALL_DIR + "\\" + f))
                  for f in ("tsapi.dll", "tsapips.dll", "TSUpdChk.exe", "tsctl.exe")))
        install_dir_value = wine.reg_value(PRODUCT_KEY, "Install Dir")
        check("Install Dir names the install folder", (install_dir_value or "").rstrip("\\") == INSTALL_DIR,
              install_dir_value)
        check("common data folder created", os.path.isdir(wine.unix(r"C:\ProgramData\Quellon\Tessary")))

        # The installed files at work; the hand copy is gone so only the installed one can serve.
        shutil.rmtree(wine.unix(hand_dir))
        tsctl = INSTALL_DIR + "\\tsctl.exe"
        code, out = wine.run(tsctl, "versions")
        check("version object (COM activation through the installed DLL) reports both modules",
              code == 0 and "TSAPI.dll=%s" % version in out and "TSUpdChk.exe=%s" % version in out, out)
        code, out = wine.run(tsctl, "logging", "file")
        check("tsctl switches on file logging", code == 0, out)
        files = os.path.join(work, "files")
        make_update(files)
        catalogue = os.path.join(work, "catalogue.json")
        with open(catalogue, "w") as f:
            f.write('{"manifest": "FILE={origin}/updates/appmrg.xdb||data/summary/appmrg.xdb||ffffffff\\r\\n"}')
        port_file = os.path.join(work, "port")
        emulator = subprocess.Popen([sys.executable, os.path.join(ROOT, "tests", "emulator", "emulator.py"),
                                     "--port", "0", "--port-file", port_file, "--files", files,
                                     "--catalogue", catalogue], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if os.path.exists(port_file) and open(port_file).read().strip():
                break
            time.sleep(0.1)
        port = open(port_file).read().strip()
        wine.run("reg", "add", PRODUCT_KEY, "/v", "ServiceOrigin", "/t", "REG_SZ", "/d",
                 "http://127.0.0.1:" + port, "/f")
        code, _ = wine.run(INSTALL_DIR + "\\TSUpdChk.exe")
        requests = urllib.request.urlopen("http://127.0.0.1:%s/__control/requests?endpoint=manifest" % port).read()
        store = wine.unix(r"C:\ProgramData\Quellon\Tessary\data\TsLocal.xdb")
        check("TSUpdChk pass from the install folder merges the update", code == 0 and b"manifest" in requests and
              store_has_record(store), (code, requests[:200]))

        # Major upgrade to this version.
        log, log_win = logs("upgrade")
        code = wine.msiexec("/i", win[version], "/qn", "/l*v", log_win)
        check("upgrade to %s" % version, code == 0,
              (code, [l for l in log_text(log).splitlines() if "Tessary setup" in l or "rror" in l][-12:]))
        products = product_installed(wine)
        check("one product installed after the upgrade, the newer one", products == [version], products)
        upgraded = wine.classes(work)
        check("one registration after the upgrade, same keys",
              normalised(upgraded, installed_dll) == normalised(installed, installed_dll),
              differing(upgraded, installed))
        check("data kept by the upgrade", store_has_record(store) and
              wine.reg_value(PRODUCT_KEY, "ServiceOrigin") is not None)

        # The signed files as installed; the custom-action DLL as the package carries it.
        signed_dir = r"C:\signed"
        os.makedirs(wine.unix(signed_dir))
        shutil.copy(os.path.join(work, "tables-" + version, "Binary", "Binary.TsSetupActions"),
                    wine.unix(signed_dir + "\\tssetup.dll"))
        shutil.copy(packages[version], wine.unix(signed_dir + "\\tessary.msi"))
        check_signatures(wine, tsctl, [INSTALL_DIR + "\\" + f
                                       for f in ("tsapi.dll", "tsapips.dll", "TSUpdChk.exe", "tsctl.exe")] +
                         [signed_dir + "\\tssetup.dll", signed_dir + "\\tessary.msi"],
                         os.path.join(build, "test-publisher", "root.pem"))

        code = wine.msiexec("/i", win[older_version], "/qn")
        check("the older package refuses to replace the newer version (1603), nothing changes",
              exit_code_is(code, ERROR_INSTALL_FAILURE) and product_installed(wine) == [version] and
              wine.classes(work) == upgraded, (code, product_installed(wine)))

        # Repair: a deleted file and a deleted registration come back.
        os.remove(wine.unix(INSTALL_DIR + "\\TSUpdChk.exe"))
        wine.run("reg", "delete", r"HKLM\Software\Classes\CLSID" + "\\" + ROOT_CLSID, "/f")
        log, log_win = logs("repair")
        code = wine.msiexec("/fa", win[version], "/qn", "/l*v", log_win)
        if code != 0:
            skip("repair with msiexec /fa", "Wine 8's msiexec /fa answers an installed package with exit code %d "
                 "(1605, unknown product, in its low 8 bits); repairing with the same reinstall through "
                 "/i REINSTALL=ALL REINSTALLMODE=amus" % code)
            code = wine.msiexec("/i", win[version], "REINSTALL=ALL", "REINSTALLMODE=amus", "/qn", "/l*v", log_win)
        check("repair", code == 0, code)
        check("repair restores TSUpdChk.exe", os.path.isfile(wine.unix(INSTALL_DIR + "\\TSUpdChk.exe")))
        check("repair restores the COM registration", wine.classes(work) == upgraded)

        # Removal keeps the user data.
        code, out = wine.run(tsctl, "perms", "set", "--id", "0", "--path", r"C:\windows\notepad.exe", "--hash",
                             NOTEPAD_MD5, "--product", "1", "--feature", "2", "--permission", "1")
        check("a shared permission stored through the installed component", code == 0, out)
        data = {name: wine.unix(r"C:\ProgramData\Quellon" + "\\" + name) for name in
                (r"Tessary\data\TsLocal.xdb", r"Tessary\data\TsShared.xdb", r"QNLOGS\TSAPI")}
        check("user data present before removal", all(os.path.exists(p) for p in data.values()),
              [n for n, p in data.items() if not os.path.exists(p)])
        log, log_win = logs("remove")
        code = wine.msiexec("/x", win[version], "/qn", "/l*v", log_win)
        check("removal", code == 0, code)
        left = wine.unix(INSTALL_DIR)
        check("removal: install folder empty or gone",
              not os.path.exists(left) or not os.listdir(left), os.listdir(left) if os.path.exists(left) else None)
        check("removal: none of our HKCR keys left", wine.classes(work) == {}, sorted(wine.classes(work)))
        check("removal: Install Dir gone, other values (user data) kept",
              wine.reg_value(PRODUCT_KEY, "Install Dir") is None and
              wine.reg_value(PRODUCT_KEY, "ServiceOrigin") is not None)
        check("removal keeps the stores and the logs", all(os.path.exists(p) for p in data.values()),
              [n for n, p in data.items() if not os.path.exists(p)])
        # Windows' msiexec refuses a removal of a product it does not know (1605); Wine's
        # runs the package, whose launch condition then refuses it (1603).
        log, log_win = logs("remove-again")
        code = wine.msiexec("/x", win[version], "/qn", "/l*v", log_win)
        text = log_text(log)
        refused = exit_code_is(code, ERROR_UNKNOWN_PRODUCT) or (
            exit_code_is(code, ERROR_INSTALL_FAILURE) and "InstallInitialize" not in text and "Tessary setup" not in text)
        check("second removal: 1605, or 1603 from the launch condition before anything runs", refused, code)
        if refused and not exit_code_is(code, ERROR_UNKNOWN_PRODUCT):
            if "is not installed: there is nothing to remove" in text:
                check("second removal: the log says there is nothing to remove", True)
            else:
                skip("second removal: the launch condition's message in the log",
                     "Wine 8's msiexec does not write a failed launch condition's message to the log in /qn mode")
        check("second removal changes nothing", all(os.path.exists(p) for p in data.values()) and
              wine.reg_value(PRODUCT_KEY, "ServiceOrigin") is not None)

        # Removal with REMOVEUSERDATA=1.
        code = wine.msiexec("/i", win[version], "/qn", "ADDLOCAL=Core")
        check("install of the core feature alone", code == 0 and
              not os.path.exists(wine.unix(INSTALL_DIR + "\\tsctl.exe")) and
              os.path.isfile(wine.unix(INSTALL_DIR + "\\tsapi.dll")), code)
        log, log_win = logs("remove-data")
        code = wine.msiexec("/x", win[version], "/qn", "REMOVEUSERDATA=1", "/l*v", log_win)
        check("removal with REMOVEUSERDATA=1", code == 0, code)
        check("REMOVEUSERDATA=1 removes the stores, the logs and the product key",
              not any(os.path.exists(p) for p in data.values()) and not wine.key_exists(PRODUCT_KEY),
              [n for n, p in data.items() if os.path.exists(p)])
        check("REMOVEUSERDATA=1 leaves no file in the install folder",
              not os.path.exists(left) or not os.listdir(left))
    finally:
        if emulator is not None:
            emulator.terminate()
            emulator.wait()
        wine.down()
        if args.keep:
            print("kept: %s and %s" % (wine.prefix, work))
        else:
            shutil.rmtree(wine.prefix, ignore_errors=True)
            shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("%d check(s) failed: %s" % (len(failures), "; ".join(failures)))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
