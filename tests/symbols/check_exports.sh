#!/bin/sh
# check_exports.sh <shared object> <allow-list>
# Fails when the object's dynamic symbol table defines a symbol that matches
# none of the allow-list's patterns (extended regular expressions over the
# demangled names, one a line, '#' starts a comment), or defines nothing.
set -eu
object=$1
allowed=$2
patterns=$(mktemp)
trap 'rm -f "$patterns"' EXIT
grep -v -e '^#' -e '^$' "$allowed" >"$patterns"
# Columns: address, type, name (a demangled name may hold spaces). A local
# symbol (lower-case type other than u, unique global, and i, indirect) can
# stand in the dynamic table without being bound from outside: not exported.
names=$(nm -D --defined-only -C "$object" | awk '$2 ~ /^[A-Zui]$/' | cut -d' ' -f3-)
count=$(printf '%s\n' "$names" | grep -c . || true)
echo "$object: $count exported symbols"
if [ "$count" -eq 0 ]; then
  echo "no exported symbols at all: the object's interface is missing" >&2
  exit 1
fi
unexpected=$(printf '%s\n' "$names" | grep -E -v -f "$patterns" || true)
if [ -n "$unexpected" ]; then
  echo "exported but not part of the interface:" >&2
  printf '%s\n' "$unexpected" >&2
  exit 1
fi
