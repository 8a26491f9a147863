#!/usr/bin/env bash
# Fails when a tracked C++ source or header is not formatted as .clang-format
# says. The formatter is pinned to Debian 12's clang-format (major version 14):
# another version may lay out the same code differently.
#   check-format.sh          list the files that need formatting, exit 1 if any
#   check-format.sh --fix    format them in place
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
required_major=14
if ! command -v clang-format >/dev/null 2>&1; then
    apt-get install -y -qq clang-format >/dev/null
fi
major=$(clang-format --version | sed -n 's/.*version \([0-9]*\)\..*/\1/p')
if [ "$major" != "$required_major" ]; then
    echo "check-format: clang-format $required_major is required, found: $(clang-format --version)" >&2
    exit 2
fi
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
    clang-format -i "${files[@]}"
    exit 0
fi
bad=()
for f in "${files[@]}"; do
    clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
    echo "check-format: ${#bad[@]} file(s) not formatted (bash scripts/check-format.sh --fix):" >&2
    printf '  %s\n' "${bad[@]}" >&2
    exit 1
fi
echo "check-format: ${#files[@]} files formatted"
