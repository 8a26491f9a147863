#!/usr/bin/env bash
# Installs every Debian package the build and the tests need and prepares the
# third-party sources inside the build tree (never in the repository):
#   - the SQLite 3 amalgamation, generated from Debian's sqlite3 source package;
#   - GoogleTest comes from Debian's googletest package (/usr/src/googletest) and
#     is compiled by the cross compiler as part of the CMake build.
# Safe to run repeatedly: installed packages and a generated amalgamation are kept.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${TS_BUILD_DIR:-$root/build}
third=$build/third_party

packages=(
    build-essential cmake ninja-build pkg-config dpkg-dev tcl xz-utils
    g++-mingw-w64-x86-64-posix mingw-w64-tools libwine-dev
    wine wine64 googletest
    python3 openssl osslsigncode gcab cabextract libsqlite3-dev sqlite3 wixl msitools gdb-mingw-w64
    clang llvm libclang-rt-14-dev clang-format
)

need=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done

have_src_entry() {
    grep -rqs -E '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/
}

if ! have_src_entry; then
    # Source entry for the same archive the binary packages come from.
    uris=$(grep -h -m1 -E '^URIs:' /etc/apt/sources.list.d/debian.sources 2>/dev/null | awk '{print $2}')
    uris=${uris:-http://deb.debian.org/debian}
    cat > /etc/apt/sources.list.d/tessary-src.sources <<SRC
Types: deb-src
URIs: $uris
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    updated=0
else
    updated=1
fi

if [ ${#need[@]} -gt 0 ] || [ "$updated" = 0 ] || [ ! -f "$third/sqlite/sqlite3.c" ]; then
    apt-get update -qq
fi
if [ ${#need[@]} -gt 0 ]; then
    echo "setup: installing ${need[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

if [ ! -f "$third/sqlite/sqlite3.c" ] || [ ! -f "$third/sqlite/sqlite3.h" ]; then
    echo "setup: generating the SQLite amalgamation from Debian's sqlite3 source package"
    rm -rf "$third/sqlite-src"
    mkdir -p "$third/sqlite-src" "$third/sqlite"
    (
        cd "$third/sqlite-src"
        apt-get source -qq sqlite3 >/dev/null 2>&1 || apt-get source sqlite3
        src=$(find . -maxdepth 1 -mindepth 1 -type d -name 'sqlite3-*' | head -n1)
        mkdir -p "$src/bld"
        cd "$src/bld"
        ../configure >/dev/null
        make sqlite3.c >/dev/null
        cp sqlite3.c sqlite3.h "$third/sqlite/"
    )
    rm -rf "$third/sqlite-src"
fi
echo "setup: ready (build tree $build)"
