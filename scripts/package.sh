#!/usr/bin/env bash
# Builds the signed Windows Installer package tessary-<version>-x64.msi from the
# built deliverables with wixl (msitools) and packaging/tessary.wxs, and beside it
# the version's symbols archive and bill of materials (a release folder).
#
#   scripts/package.sh [--build-dir DIR] [--output FILE] [--version X.Y.Z.W]
#                      [--unsigned] [--package-only]
#
# --build-dir     build tree holding deliverables/ (tsapi.dll, TSUpdChk.exe, tsctl.exe,
#                 tssetup.dll and their .debug files; default: build/, or TS_BUILD_DIR);
#                 build them first with scripts/build.sh or `cmake --build build --target
#                 package_msi`.
# --output        the package file (default: <build-dir>/tessary-<version>-x64.msi).
# --version       the package's product version instead of the VERSION file's; only for
#                 tests that need an older or newer package of the same binaries.
# --unsigned      neither the files nor the package are signed (to compare builds).
# --package-only  the package alone, without the symbols archive, the bill of
#                 materials and the checksum list.
#
# Signing (Authenticode, SHA-256, osslsigncode) of tsapi.dll, TSUpdChk.exe, tsctl.exe
# and tssetup.dll before they go into the package, then of the package, with:
#   TS_SIGN_PFX=file.pfx [TS_SIGN_PFX_PASSWORD=...]     a PKCS#12 file, or
#   TS_SIGN_CERT=chain.pem TS_SIGN_KEY=key.pem [TS_SIGN_KEY_PASSWORD=...]
#                                                      a PEM certificate (with its
#                                                      intermediates) and key;
#   neither: the build's test publisher (scripts/test-publisher.sh, in
#   <build-dir>/test-publisher), whose root only test machines trust.
#   TS_SIGN_TIMESTAMP_URL=url   an RFC 3161 time-stamp server (none by default).
# The passwords reach osslsigncode on its standard input, never on a command line.
# deliverables/ keeps the unsigned files: they are what two builds compare.
# Prints the path of the package on success.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TS_BUILD_DIR:-$root/build}
output=
version=
sign=1
extras=1
while [ $# -gt 0 ]; do
    case $1 in
        --build-dir) build=$2; shift 2 ;;
        --output) output=$2; shift 2 ;;
        --version) version=$2; shift 2 ;;
        --unsigned) sign=0; shift ;;
        --package-only) extras=0; shift ;;
        *) echo "package.sh: unknown argument '$1'" >&2; exit 2 ;;
    esac
done
fail() {
    echo "package.sh: $*" >&2
    exit 1
}

version=${version:-$(head -n1 "$root/VERSION")}
# Windows Installer compares the first three fields: major and minor up to 255, build up to 65535.
python3 - "$version" <<'PY' || fail "version '$version' is not major.minor.build.revision within 255.255.65535.65535"
import sys
parts = sys.argv[1].split(".")
ok = len(parts) == 4 and all(p.isdigit() for p in parts)
ok = ok and int(parts[0]) <= 255 and int(parts[1]) <= 255 and int(parts[2]) <= 65535 and int(parts[3]) <= 65535
sys.exit(0 if ok else 1)
PY
command -v wixl >/dev/null && command -v msibuild >/dev/null || fail "wixl and msibuild are missing: run scripts/setup.sh"
[ "$sign" = 0 ] || command -v osslsigncode >/dev/null || fail "osslsigncode is missing: run scripts/setup.sh"
build=$(cd "$build" && pwd)
files=(tsapi.dll tsapips.dll TSUpdChk.exe tsctl.exe tssetup.dll)
for f in "${files[@]}"; do
    [ -f "$build/deliverables/$f" ] || fail "$build/deliverables/$f is missing: build first (scripts/build.sh)"
done
output=${output:-$build/tessary-$version-x64.msi}
mkdir -p "$(dirname "$output")"
output=$(cd "$(dirname "$output")" && pwd)/$(basename "$output")
release=$(dirname "$output")

# Dates written into the package and the archives: SOURCE_DATE_EPOCH when given,
# else the time of the commit built, so one commit gives the same package anywhere.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || true)}
[[ "$epoch" =~ ^[0-9]+$ ]] || fail "no SOURCE_DATE_EPOCH and no commit to take the date from"

# The ProductCode follows from the UpgradeCode and the version: a package rebuilt
# for the same version is the same product, a new version is a new product that
# replaces the old one (major upgrade).
upgrade_code=$(sed -n 's/.*UpgradeCode="\({[0-9A-F-]*}\)".*/\1/p' "$root/packaging/tessary.wxs" | head -n1)
[ -n "$upgrade_code" ] || fail "no UpgradeCode in packaging/tessary.wxs"
uuid_of() {
    python3 -c 'import sys, uuid; print("{%s}" % str(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2])).upper())' "$@"
}
product_code=$(uuid_of "$upgrade_code" "$version")

# wixl finds sources relative to its working folder: stage exactly what goes in.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/files"
for f in "${files[@]}"; do
    cp "$build/deliverables/$f" "$stage/files/$f"
done

# Signing: the files first, so the package holds and installs the signed ones.
sign_args=()
sign_password=
if [ "$sign" = 1 ]; then
    if [ -n "${TS_SIGN_PFX:-}" ]; then
        [ -f "$TS_SIGN_PFX" ] || fail "TS_SIGN_PFX names no file: $TS_SIGN_PFX"
        sign_args=(-pkcs12 "$TS_SIGN_PFX")
        sign_password=${TS_SIGN_PFX_PASSWORD:-}
    elif [ -n "${TS_SIGN_CERT:-}${TS_SIGN_KEY:-}" ]; then
        [ -f "${TS_SIGN_CERT:-}" ] && [ -f "${TS_SIGN_KEY:-}" ] ||
            fail "TS_SIGN_CERT and TS_SIGN_KEY must both name files"
        sign_args=(-certs "$TS_SIGN_CERT" -key "$TS_SIGN_KEY")
        sign_password=${TS_SIGN_KEY_PASSWORD:-}
    else
        publisher=$(bash "$root/scripts/test-publisher.sh" "$build/test-publisher") ||
            fail "cannot make the test publisher"
        sign_args=(-certs "$publisher/publisher.pem" -key "$publisher/publisher.key")
        echo "package.sh: signing with the test publisher (root $publisher/root.cer)" >&2
    fi
    sign_args+=(-h sha256 -n "Quellon Tessary")
    if [ -n "${TS_SIGN_TIMESTAMP_URL:-}" ]; then
        sign_args+=(-ts "$TS_SIGN_TIMESTAMP_URL")
    fi
fi
sign_file() { # in out
    local log=$stage/sign.log
    if [ -n "$sign_password" ]; then
        printf '%s' "$sign_password" | osslsigncode sign "${sign_args[@]}" -readpass - -in "$1" -out "$2" >"$log" 2>&1
    else
        osslsigncode sign "${sign_args[@]}" -in "$1" -out "$2" >"$log" 2>&1
    fi || fail "osslsigncode could not sign $(basename "$1"): $(cat "$log")"
    # Signed counts only once the file reads back with a signature over its content.
    osslsigncode extract-signature -in "$2" -out "$stage/signature.p7" >/dev/null 2>&1 &&
        [ -s "$stage/signature.p7" ] || fail "$(basename "$1") has no signature after signing"
    rm -f "$stage/signature.p7"
}
if [ "$sign" = 1 ]; then
    mkdir "$stage/unsigned"
    for f in "${files[@]}"; do
        mv "$stage/files/$f" "$stage/unsigned/$f"
        sign_file "$stage/unsigned/$f" "$stage/files/$f"
    done
fi
# The cabinet records each file's modification time.
touch -d "@$epoch" "$stage/files/"*

(cd "$stage/files" && wixl -a x64 -D Version="$version" -D ProductCode="$product_code" \
    -o "$stage/package.msi" "$root/packaging/tessary.wxs") >"$stage/wixl.log" 2>&1 ||
    fail "wixl failed: $(cat "$stage/wixl.log")"

# What wixl 0.101 cannot express: the rollback and commit custom actions (it keeps
# only "deferred"), and REMOVEUSERDATA as a secure property (passed from the
# client to the per-machine installation).
# Types: 1 DLL from the Binary table, 64 continue on failure, 256 rollback,
# 512 commit, 1024 in the installation script, 2048 without impersonation.
msibuild "$stage/package.msi" \
    -q "UPDATE CustomAction SET Type=3393 WHERE Action='RollbackRegisterServer'" \
    -q "UPDATE CustomAction SET Type=3393 WHERE Action='RollbackUnregisterServer'" \
    -q "UPDATE CustomAction SET Type=3649 WHERE Action='RemoveUserData'" \
    -q "UPDATE CustomAction SET Type=3649 WHERE Action='CommitRegisterServer'" \
    -q "UPDATE Property SET Value='TS_OLDER_FOUND;TS_NEWER_FOUND;REMOVEUSERDATA' WHERE Property='SecureCustomProperties'" ||
    fail "msibuild could not amend the package"
# The package counts as built only once its tables read back as amended.
mkdir -p "$stage/tables"
(cd "$stage" && msidump -d "$stage/tables" "$stage/package.msi") >/dev/null 2>&1 || fail "msidump cannot read the package"
grep -q $'^RemoveUserData\t3649\t' "$stage/tables/CustomAction.idt" &&
    grep -q $'^RollbackRegisterServer\t3393\t' "$stage/tables/CustomAction.idt" &&
    grep -q $'^SecureCustomProperties\t.*REMOVEUSERDATA' "$stage/tables/Property.idt" ||
    fail "the package's tables were not amended"

# wixl writes a random package code and its own run time. The package code follows
# from the product code and the files packaged (one set of files, one package code;
# other files, even of the same version, another); the dates are the epoch above.
payload=$(cd "$stage/files" && sha256sum "${files[@]}" | sha256sum | cut -d' ' -f1)
package_code=$(uuid_of "$product_code" "$payload")
python3 "$root/scripts/msi_summary.py" "$stage/package.msi" "$package_code" "$epoch" ||
    fail "cannot set the package code and dates"

if [ "$sign" = 1 ]; then
    sign_file "$stage/package.msi" "$stage/package.signed.msi"
    mv -f "$stage/package.signed.msi" "$stage/package.msi"
fi

if [ "$extras" = 1 ]; then
    # The version's symbols: every deliverable's debug file, in a fixed order with
    # fixed owners and times, so the archive is as reproducible as the files.
    symbols=$release/tessary-$version-symbols.tar.xz
    mkdir "$stage/symbols"
    for f in "${files[@]}"; do
        [ -f "$build/deliverables/$f.debug" ] || fail "$build/deliverables/$f.debug is missing"
        cp "$build/deliverables/$f.debug" "$stage/symbols/"
    done
    touch -d "@$epoch" "$stage/symbols/"*
    tar -C "$stage/symbols" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$epoch" \
        --format=gnu -cf - . | xz -T1 -3 >"$stage/symbols.tar.xz" || fail "cannot write the symbols archive"
    python3 "$root/scripts/sbom.py" --build-dir "$build" --version "$version" --epoch "$epoch" \
        --output "$stage/sbom.spdx.json" "${files[@]}" || fail "cannot write the bill of materials"
    mv -f "$stage/symbols.tar.xz" "$symbols"
    mv -f "$stage/sbom.spdx.json" "$release/tessary-$version-sbom.spdx.json"
fi
mv -f "$stage/package.msi" "$output"
if [ "$extras" = 1 ]; then
    (cd "$release" && sha256sum "$(basename "$output")" "tessary-$version-symbols.tar.xz" \
        "tessary-$version-sbom.spdx.json" >"tessary-$version-SHA256SUMS")
fi
echo "$output"
