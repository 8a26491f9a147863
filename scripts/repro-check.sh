#!/usr/bin/env bash
# Checks that the build is reproducible: the deliverables, their debug files and the
# (unsigned) package, symbols archive and bill of materials of an existing build are
# compared byte for byte with a second build of the same sources made now in another
# folder; then, as a control, the second build is rebuilt with another VERSION and
# must compare different.
#
#   scripts/repro-check.sh [--build-dir DIR] [--keep]
#
# --build-dir  the existing build (default: build/, or TS_BUILD_DIR); its deliverables
#              are brought up to date first.
# --keep       keep the second tree and both release folders (printed at the end).
# The second tree is a copy of this tree's files (tracked and untracked, not ignored,
# so uncommitted changes are in both builds); only the deliverables are built in it,
# from the first build's third-party sources (build/third_party). Both packages are
# made with this commit's time as SOURCE_DATE_EPOCH, as two checkouts of it would.
# Also shows the symbols archive in the debugger: x86_64-w64-mingw32-gdb names the
# function at an exported address of tsapi.dll from the archive's debug file.
# Exit code 0 when the builds are identical, the control differs and the debugger
# resolved the address.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TS_BUILD_DIR:-$root/build}
keep=0
while [ $# -gt 0 ]; do
    case $1 in
        --build-dir) build=$2; shift 2 ;;
        --keep) keep=1; shift ;;
        *) echo "repro-check.sh: unknown argument '$1'" >&2; exit 2 ;;
    esac
done
fail() {
    echo "repro-check.sh: $*" >&2
    exit 1
}
say() { echo "repro: $*"; }

build=$(cd "$build" && pwd)
[ -f "$build/build.ninja" ] || fail "no build in $build: run scripts/build.sh first"
version=$(head -n1 "$root/VERSION")
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}
work=$(mktemp -d "${TMPDIR:-/tmp}/tessary-repro.XXXXXX")
cleanup() { [ "$keep" = 1 ] || rm -rf "$work"; }
trap cleanup EXIT

cmake --build "$build" --target deliverables >/dev/null || fail "the first build's deliverables do not build"

# The second tree: another folder name and depth, and another time.
tree=$work/second/tessary-src
mkdir -p "$tree"
(cd "$root" && git ls-files -z --cached --others --exclude-standard | xargs -0 tar -cf - --no-recursion) |
    tar -C "$tree" -xf -
second=$tree/out/b2
mkdir -p "$second"
cp -a "$build/third_party" "$second/third_party"
started=$(date -u +%H:%M:%S)
build_second() {
    [ -f "$second/build.ninja" ] || cmake -S "$tree" -B "$second" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$tree/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release >"$work/configure.log" 2>&1 ||
        fail "cannot configure the second build: $(tail -n 20 "$work/configure.log")"
    cmake --build "$second" --target deliverables -- -j"$(nproc)" >"$work/build.log" 2>&1 ||
        fail "the second build failed: $(tail -n 20 "$work/build.log")"
}
say "first build:  $build"
say "second build: $second (started $started UTC; deliverables only)"
build_second

release() { # tree build folder -> release folder (named by the tree's own version)
    mkdir -p "$3"
    bash "$1/scripts/package.sh" --build-dir "$2" --unsigned \
        --output "$3/tessary-$(head -n1 "$1/VERSION")-x64.msi" >/dev/null || fail "package.sh failed for $2"
}
release "$root" "$build" "$work/release1"
release "$tree" "$second" "$work/release2"

files=(tsapi.dll tsapips.dll TSUpdChk.exe tsctl.exe tssetup.dll)
compare() { # prints one line a file; returns the number of differing files
    local differing=0 name a b
    for name in "${files[@]}" "${files[@]/%/.debug}"; do
        a=$build/deliverables/$name
        b=$second/deliverables/$name
        if cmp -s "$a" "$b"; then
            printf '  same     %-22s %s\n' "$name" "$(sha256sum <"$a" | cut -c1-16)"
        else
            printf '  DIFFERS  %-22s %s / %s\n' "$name" "$(sha256sum <"$a" | cut -c1-16)" "$(sha256sum <"$b" | cut -c1-16)"
            differing=$((differing + 1))
        fi
    done
    for name in x64.msi symbols.tar.xz sbom.spdx.json; do
        a=$(echo "$work"/release1/tessary-*-"$name")
        b=$(echo "$work"/release2/tessary-*-"$name")
        if cmp -s "$a" "$b"; then
            printf '  same     %-34s %s\n' "$(basename "$a") (unsigned)" "$(sha256sum <"$a" | cut -c1-16)"
        else
            printf '  DIFFERS  %-34s %s\n' "$(basename "$a") (unsigned)" "/ $(basename "$b")"
            differing=$((differing + 1))
        fi
    done
    return "$differing"
}
status=0
compare && same=0 || same=$?
count=$((${#files[@]} * 2 + 3))
if [ "$same" = 0 ]; then
    say "identical: all $count files of the two builds"
else
    say "NOT reproducible: $same of $count files differ"
    status=1
    # What differs inside the packages, table by table.
    for i in 1 2; do
        mkdir -p "$work/tables$i"
        (cd "$work/tables$i" && msidump -d . -s "$work"/release"$i"/tessary-*-x64.msi >/dev/null 2>&1) || true
    done
    diff -r "$work/tables1" "$work/tables2" | head -n 20 || true
fi

# The control: another version must give other bytes, or the comparison proves nothing.
control=$(echo "$version" | awk -F. '{printf "%d.%d.%d.%d", $1, $2, $3, $4 + 1}')
echo "$control" >"$tree/VERSION"
say "control: the second tree rebuilt with VERSION $control"
build_second
rm -rf "$work/release2"
release "$tree" "$second" "$work/release2"
compare && differs=0 || differs=$?
if [ "$differs" -gt 0 ]; then
    say "control differs in $differs of $count files, as it must"
else
    say "control compares equal: the comparison cannot see a change"
    status=1
fi

# The symbols archive in the debugger: the function at DllGetClassObject's address.
gdb=x86_64-w64-mingw32-gdb
if command -v "$gdb" >/dev/null; then
    syms=$work/symbols
    mkdir -p "$syms"
    tar -C "$syms" -xJf "$work/release1/tessary-$version-symbols.tar.xz" ||
        fail "cannot unpack the symbols archive"
    cp "$build/deliverables/tsapi.dll" "$syms/"
    # The export's address as a crash dump gives it: image base plus the RVA that the
    # stripped DLL's own export table holds.
    exports=$(x86_64-w64-mingw32-objdump -p "$syms/tsapi.dll")
    base=$(awk '/^ImageBase/ {print $2}' <<<"$exports")
    index=$(awk '/\[Ordinal\/Name Pointer\] Table/ {t = 1; next}
        t && $NF == "DllGetClassObject" {gsub(/[][]/, " "); print $1; exit}' <<<"$exports")
    rva=$(awk -v i="$index" '/Export Address Table -- Ordinal Base/ {t = 1; next}
        t && /Export RVA/ {gsub(/[][+]/, " "); if ($1 == i) {print $4; exit}}' <<<"$exports")
    [ -n "$base" ] && [ -n "$rva" ] || fail "no DllGetClassObject export in tsapi.dll"
    address=$(printf '0x%x' $((0x$base + 0x$rva)))
    answer=$("$gdb" -batch -nx -ex "info symbol $address" -ex "info line *$address" "$syms/tsapi.dll" 2>&1)
    echo "$answer" | sed 's/^/  gdb: /'
    # Without the archive the DLL alone has no line information (its export table
    # still names the function).
    mkdir -p "$work/alone"
    cp "$build/deliverables/tsapi.dll" "$work/alone/"
    alone=$("$gdb" -batch -nx -ex "info line *$address" "$work/alone/tsapi.dll" 2>&1)
    # The export table names DllGetClassObject; its signature and line come from the debug file.
    if grep -Eq '^Line [0-9]+ of "/tessary/component/[a-z_]+\.cpp" starts at address [0-9a-fx]+ <DllGetClassObject\(IID const&' \
        <<<"$answer" && ! grep -q 'Line [0-9]* of' <<<"$alone"; then
        say "symbols: $gdb resolves $address in tsapi.dll to DllGetClassObject(IID const&, ...) and its source line" \
            "through the archive's debug file (the DLL alone: $(head -n1 <<<"$alone"))"
    else
        say "symbols: $gdb could not resolve $address in tsapi.dll through the archive's debug file"
        status=1
    fi
else
    say "symbols: $gdb is missing (scripts/setup.sh installs gdb-mingw-w64)"
    status=1
fi

[ "$keep" = 1 ] && say "kept: $work"
exit "$status"
