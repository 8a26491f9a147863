#!/usr/bin/env bash
# Builds the Windows Installer package tessary-<version>-x64.msi from the built
# binaries with wixl (msitools) and packaging/tessary.wxs.
#
#   scripts/package.sh [--build-dir DIR] [--output FILE] [--version X.Y.Z.W]
#
# --build-dir  build tree holding bin/tsapi.dll, bin/TSUpdChk.exe, bin/tsctl.exe and
#              bin/tssetup.dll (default: build/, or TS_BUILD_DIR); build them first
#              with scripts/build.sh or `cmake --build build --target package_msi`.
# --output     the package file (default: <build-dir>/tessary-<version>-x64.msi).
# --version    the package's product version instead of the VERSION file's; only for
#              tests that need an older or newer package of the same binaries.
# Prints the path of the package on success.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TS_BUILD_DIR:-$root/build}
output=
version=
while [ $# -gt 0 ]; do
    case $1 in
        --build-dir) build=$2; shift 2 ;;
        --output) output=$2; shift 2 ;;
        --version) version=$2; shift 2 ;;
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
bin=$build/bin
for f in tsapi.dll TSUpdChk.exe tsctl.exe tssetup.dll; do
    [ -f "$bin/$f" ] || fail "$bin/$f is missing: build first (scripts/build.sh)"
done
output=${output:-$build/tessary-$version-x64.msi}
mkdir -p "$(dirname "$output")"
output=$(cd "$(dirname "$output")" && pwd)/$(basename "$output")

# The ProductCode follows from the UpgradeCode and the version: a package rebuilt
# for the same version is the same product, a new version is a new product that
# replaces the old one (major upgrade).
upgrade_code=$(sed -n 's/.*UpgradeCode="\({[0-9A-F-]*}\)".*/\1/p' "$root/packaging/tessary.wxs" | head -n1)
[ -n "$upgrade_code" ] || fail "no UpgradeCode in packaging/tessary.wxs"
product_code=$(python3 -c 'import sys, uuid; print("{%s}" % str(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2])).upper())' \
    "$upgrade_code" "$version")

# wixl finds sources relative to its working folder: stage exactly what goes in.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$bin/tsapi.dll" "$bin/TSUpdChk.exe" "$bin/tsctl.exe" "$bin/tssetup.dll" "$stage/"
(cd "$stage" && wixl -a x64 -D Version="$version" -D ProductCode="$product_code" \
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
mv -f "$stage/package.msi" "$output"
echo "$output"
