#!/usr/bin/env python3
"""Writes the bill of materials of a build's deliverables as an SPDX 2.3 JSON document.

  sbom.py --build-dir DIR --version X.Y.Z.W --epoch SECONDS --output FILE NAME...

NAME: the deliverables (files of DIR/deliverables) the document covers. Every
version comes from what the build actually used: SQLite's from the amalgamation's
sqlite3.h in the build tree, the MinGW-w64 runtime's from the cross compiler's
_mingw_mac.h, the GCC runtime libraries' (libstdc++, libgcc) from the compiler
itself, GoogleTest's from the sources the tests were built from. Which deliverable
holds which component is read from the symbols of its debug file (DIR/deliverables/
NAME.debug), not assumed. GoogleTest is listed as a dependency of the tests only.
The document is a function of its inputs (EPOCH is its creation date), so two builds
of one commit write the same bytes.
"""

import argparse
import datetime
import hashlib
import json
import os
import re
import subprocess
import sys
import uuid

TOOLS = "x86_64-w64-mingw32"
COMPILER = TOOLS + "-g++-posix"
NAMESPACE = uuid.UUID("{EA7F3988-93D0-4095-BE79-C13206971E47}")

# What marks a component's code in a linked image's symbol table.
MARKERS = {
    "sqlite": re.compile(r"^sqlite3_(open_v2|prepare_v2|step)$"),
    "libstdcxx": re.compile(r"^(__gxx_personality_seh0|_ZSt9terminatev|__cxa_throw)$"),
    "libgcc": re.compile(r"^(___chkstk_ms|_Unwind_Resume|_GCC_specific_handler)$"),
    "winpthreads": re.compile(r"^pthread_(mutex_lock|once|self)$"),
    "mingw-crt": re.compile(r"^(_pei386_runtime_relocator|__mingw_init_ehandler|__mingw_TLScallback)$"),
}


def fail(message):
    print("sbom.py: " + message, file=sys.stderr)
    sys.exit(1)


def cache_value(build, name):
    with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as f:
        for line in f:
            m = re.match(r"^%s:[A-Z]+=(.*)$" % re.escape(name), line.rstrip("\n"))
            if m:
                return m.group(1)
    return None


def define(path, name):
    with open(path, encoding="utf-8", errors="replace") as f:
        m = re.search(r'^#\s*define\s+%s\s+"([^"]+)"' % re.escape(name), f.read(), re.M)
    if not m:
        fail("no %s in %s" % (name, path))
    return m.group(1)


def preprocessed(text):
    out = subprocess.run([COMPILER, "-E", "-P", "-x", "c++", "-"], input=text, capture_output=True, text=True)
    if out.returncode != 0:
        fail("the cross compiler cannot preprocess: " + out.stderr)
    return out.stdout.strip()


def mingw_version():
    # The macro is a run of adjacent string literals ("10" "." "0" ...).
    text = preprocessed("#include <_mingw_mac.h>\n__MINGW64_VERSION_STR\n")
    version = "".join(re.findall(r'"([^"]*)"', text))
    if not re.fullmatch(r"[0-9][0-9A-Za-z.+-]*", version):
        fail("unexpected __MINGW64_VERSION_STR: " + text)
    return version


def gcc_version():
    """(version, __GLIBCXX__) of the cross compiler and its libstdc++.

    Debian's MinGW-w64 GCC reports its version as "12-posix" (__GNUC_MINOR__ and
    __GNUC_PATCHLEVEL__ are 0), so the full version is the upstream part of the
    compiler package's version once its major number agrees with the compiler's."""
    text = preprocessed("#include <cstddef>\nTS_VERSION_LINE __GNUC__ __GLIBCXX__\n").splitlines()[-1]
    m = re.fullmatch(r"TS_VERSION_LINE (\d+) (\d{8})", text.strip())
    if not m:
        fail("cannot read the compiler's version: " + text)
    major, glibcxx = m.group(1), m.group(2)
    package = debian_version("g++-mingw-w64-x86-64-posix") or ""
    upstream = re.match(r"^(?:\d+:)?(\d+\.\d+\.\d+)", package)
    if upstream and upstream.group(1).split(".")[0] == major:
        return upstream.group(1), glibcxx
    return major, glibcxx


def debian_version(package):
    out = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True, text=True)
    return out.stdout.strip() if out.returncode == 0 else None


def googletest_version(folder):
    with open(os.path.join(folder, "CMakeLists.txt"), encoding="utf-8") as f:
        m = re.search(r"GOOGLETEST_VERSION\s+([0-9][0-9.]*)", f.read())
    if not m:
        fail("no GOOGLETEST_VERSION in " + folder)
    return m.group(1)


def symbols(debug_file):
    out = subprocess.run([TOOLS + "-nm", "--defined-only", "-j", debug_file], capture_output=True, text=True)
    if out.returncode != 0:
        out = subprocess.run([TOOLS + "-nm", "--defined-only", debug_file], capture_output=True, text=True)
        if out.returncode != 0:
            fail("cannot read the symbols of %s: %s" % (debug_file, out.stderr))
        return {line.split()[-1] for line in out.stdout.splitlines() if line.split()}
    return set(out.stdout.split())


def digests(path):
    sha1, sha256 = hashlib.sha1(), hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            sha1.update(block)
            sha256.update(block)
    return sha1.hexdigest(), sha256.hexdigest()


def spdx_id(text):
    return "SPDXRef-" + re.sub(r"[^A-Za-z0-9.-]", "-", text.replace("+", "x"))


def package(name, version, supplier, license_declared, comment, purl=None):
    entry = {
        "name": name,
        "SPDXID": spdx_id("Package-" + name),
        "versionInfo": version,
        "supplier": supplier,
        "downloadLocation": "NOASSERTION",
        "filesAnalyzed": False,
        "licenseConcluded": "NOASSERTION",
        "licenseDeclared": license_declared,
        "copyrightText": "NOASSERTION",
        "comment": comment,
    }
    if purl:
        entry["externalRefs"] = [{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl",
                                  "referenceLocator": purl}]
    return entry


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--epoch", type=int, required=True)
    parser.add_argument("--output", required=True)
    parser.add_argument("names", nargs="+")
    args = parser.parse_args()
    build = os.path.abspath(args.build_dir)

    third = cache_value(build, "TS_THIRD_PARTY") or os.path.join(build, "third_party")
    sqlite_header = os.path.join(third, "sqlite", "sqlite3.h")
    sqlite_version = define(sqlite_header, "SQLITE_VERSION")
    sqlite_source = define(sqlite_header, "SQLITE_SOURCE_ID")
    mingw = mingw_version()
    gcc, glibcxx = gcc_version()
    gtest_dir = cache_value(build, "TS_GOOGLETEST_DIR") or "/usr/src/googletest"
    gtest = googletest_version(gtest_dir)
    deb = lambda p: (" (Debian package %s %s)" % (p, debian_version(p))) if debian_version(p) else ""  # noqa: E731

    product = package("Quellon-Tessary", args.version, "Organization: Quellon", "NOASSERTION",
                      "The deliverables of this build; the file checksums are those of the files before signing "
                      "(the package holds signed copies of them).")
    components = {
        "sqlite": package("SQLite", sqlite_version, "Organization: SQLite Consortium", "blessing",
                          "Amalgamation generated from Debian's sqlite3 source package; source id %s." % sqlite_source,
                          "pkg:generic/sqlite@%s" % sqlite_version),
        "libstdcxx": package("libstdc++", gcc, "Organization: GNU Project", "GPL-3.0-or-later WITH GCC-exception-3.1",
                             "Linked statically from the cross compiler's library (__GLIBCXX__ %s)" % glibcxx +
                             deb("g++-mingw-w64-x86-64-posix") + ".", "pkg:generic/gcc@%s" % gcc),
        "libgcc": package("libgcc", gcc, "Organization: GNU Project", "GPL-3.0-or-later WITH GCC-exception-3.1",
                          "Linked statically from the cross compiler's library" +
                          deb("gcc-mingw-w64-x86-64-posix-runtime") + ".", "pkg:generic/gcc@%s" % gcc),
        "winpthreads": package("winpthreads", mingw, "Organization: MinGW-w64 Project", "NOASSERTION",
                               "The MinGW-w64 POSIX threads library, linked statically" +
                               deb("mingw-w64-x86-64-dev") + ".", "pkg:generic/mingw-w64@%s" % mingw),
        "mingw-crt": package("mingw-w64-crt", mingw, "Organization: MinGW-w64 Project", "NOASSERTION",
                             "The MinGW-w64 C runtime start-up and support code, linked statically" +
                             deb("mingw-w64-x86-64-dev") + ".", "pkg:generic/mingw-w64@%s" % mingw),
    }
    googletest = package("GoogleTest", gtest, "Organization: Google LLC", "BSD-3-Clause",
                         "Used by the tests only; in no deliverable" + deb("googletest") + ".",
                         "pkg:generic/googletest@%s" % gtest)

    files = []
    relationships = [{"spdxElementId": "SPDXRef-DOCUMENT", "relationshipType": "DESCRIBES",
                      "relatedSpdxElement": product["SPDXID"]}]
    used = set()
    for name in args.names:
        path = os.path.join(build, "deliverables", name)
        debug = path + ".debug"
        if not os.path.isfile(path) or not os.path.isfile(debug):
            fail("%s or its debug file is missing" % path)
        sha1, sha256 = digests(path)
        file_id = spdx_id("File-" + name)
        files.append({"fileName": "./" + name, "SPDXID": file_id, "fileTypes": ["BINARY"],
                      "checksums": [{"algorithm": "SHA1", "checksumValue": sha1},
                                    {"algorithm": "SHA256", "checksumValue": sha256}],
                      "licenseConcluded": "NOASSERTION", "copyrightText": "NOASSERTION"})
        relationships.append({"spdxElementId": product["SPDXID"], "relationshipType": "CONTAINS",
                              "relatedSpdxElement": file_id})
        present = symbols(debug)
        for key, marker in MARKERS.items():
            if any(marker.match(s) for s in present):
                used.add(key)
                relationships.append({"spdxElementId": file_id, "relationshipType": "STATIC_LINK",
                                      "relatedSpdxElement": components[key]["SPDXID"]})
    for key in ("libstdcxx", "libgcc", "mingw-crt"):
        if key not in used:
            fail("no deliverable shows the %s; the symbol markers no longer match this toolchain" % key)
    relationships.append({"spdxElementId": googletest["SPDXID"], "relationshipType": "TEST_DEPENDENCY_OF",
                          "relatedSpdxElement": product["SPDXID"]})


    created = datetime.datetime.fromtimestamp(args.epoch, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    inputs = hashlib.sha256(json.dumps([files, sorted(used)], sort_keys=True).encode()).hexdigest()
    document = {
        "spdxVersion": "SPDX-2.3",
        "dataLicense": "CC0-1.0",
        "SPDXID": "SPDXRef-DOCUMENT",
        "name": "Quellon-Tessary-%s" % args.version,
        "documentNamespace": "https://spdx.quellon.invalid/tessary/%s/%s" % (
            args.version, uuid.uuid5(NAMESPACE, inputs)),
        "creationInfo": {"created": created, "creators": ["Organization: Quellon", "Tool: tessary-sbom.py"]},
        "packages": [product] + [components[k] for k in components if k in used] + [googletest],
        "files": files,
        "relationships": relationships,
    }
    tmp = args.output + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(document, f, indent=2, sort_keys=False)
        f.write("\n")
    os.replace(tmp, args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
