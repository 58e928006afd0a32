#!/usr/bin/env bash
# Checks every C++ file in the tree against the committed .clang-format with
# one pinned clang-format (Debian's clang-format-14), so that formatting does
# not drift with whichever version a developer happens to have.
#   scripts/check_format.sh          # report files that differ, exit 1 if any
#   scripts/check_format.sh --fix    # rewrite them in place
set -euo pipefail
cd "$(dirname "$0")/.."
formatter=clang-format-14

command -v "$formatter" >/dev/null 2>&1 || scripts/apt_install.sh "$formatter"

mapfile -t files < <(git ls-files -- '*.cpp' '*.h' '*.hpp' '*.cc')
if [ "${1:-}" = "--fix" ]; then
    "$formatter" -i --style=file "${files[@]}"
    exit 0
fi

differing=()
for file in "${files[@]}"; do
    if ! "$formatter" --style=file --dry-run -Werror "$file" >/dev/null 2>&1; then
        differing+=("$file")
    fi
done
if ((${#differing[@]})); then
    printf 'Not formatted with %s (run scripts/check_format.sh --fix):\n' "$formatter" >&2
    printf '  %s\n' "${differing[@]}" >&2
    exit 1
fi
echo "${#files[@]} C++ files formatted as .clang-format says ($("$formatter" --version | head -1))"
