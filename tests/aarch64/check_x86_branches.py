#!/usr/bin/env python3
"""Fails when a preprocessor branch taken only on x86 has no sibling for other
targets. A conditional testing __x86_64__, __i386__, __SSE*__ or __AVX*__ is
accepted when it has an #else/#elif (the portable or aarch64 sibling), when it
sits in an x86-only translation unit (*_x86.cpp, compiled to nothing
elsewhere), or when its file also names a portable variant (a run-time
selection table or declaration list whose portable entry every target has).

    tests/aarch64/check_x86_branches.py [ROOT]
"""
import pathlib
import re
import sys

X86_MACRO = re.compile(r"__(x86_64|i386|SSE\w*|AVX\w*)__")
SOURCE_DIRS = ("src", "include", "python", "emulation", "examples", "tests", "bench")


def unsiblinged_x86_branches(path):
    """Line numbers of x86 conditionals without an #else or #elif."""
    stack, found = [], []
    for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
        directive = re.match(r"\s*#\s*(if|ifdef|ifndef|elif|else|endif)\b(.*)", line)
        if not directive:
            continue
        keyword, condition = directive.groups()
        if keyword.startswith("if"):
            stack.append([number, bool(X86_MACRO.search(condition)), False])
        elif keyword in ("elif", "else") and stack:
            stack[-1][2] = True
        elif keyword == "endif" and stack:
            start, is_x86, has_sibling = stack.pop()
            if is_x86 and not has_sibling:
                found.append(start)
    return found


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    failures = 0
    for directory in SOURCE_DIRS:
        for path in sorted((root / directory).rglob("*")):
            if path.suffix not in (".cpp", ".h", ".hpp", ".cc") or "build" in path.parts[0]:
                continue
            lines = unsiblinged_x86_branches(path)
            if not lines:
                continue
            if path.stem.endswith("_x86") or re.search(r"[Pp]ortable", path.read_text()):
                continue
            failures += 1
            for line in lines:
                print(f"{path}:{line}: x86-only branch without a portable or aarch64 sibling")
    print(f"x86 branch check: {'FAILED' if failures else 'ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
