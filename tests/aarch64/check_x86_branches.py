#!/usr/bin/env python3
"""Fails when a preprocessor branch taken only on x86 has no sibling for other
targets. A conditional that tests an x86 macro (__x86_64__, __amd64__,
__i386__, _M_X64, _M_AMD64, _M_IX86, __SSE*__, __AVX*__ and the like) is
accepted when it has an #else or #elif (the portable or aarch64 sibling).

The few places where an x86-only block is right are listed below by path,
each with the number of such blocks it may hold and why; a new x86-only block
anywhere, those files included, fails the check.

    tests/aarch64/check_x86_branches.py [ROOT]
"""
from __future__ import annotations

import pathlib
import re
import sys

X86_MACRO = re.compile(
    r"\b(__x86_64(__)?|__amd64(__)?|__i[3-6]86__|__x86__|_M_X64|_M_AMD64|_M_IX86|_M_IX86_FP"
    r"|__SSE\w*__|__AVX\w*__|__FMA\w*__|__BMI\w*__|__F16C__|__POPCNT__)\b"
)
SOURCE_DIRS = ("src", "include", "python", "emulation", "examples", "tests", "bench")
SOURCE_SUFFIXES = (".c", ".cc", ".cpp", ".cxx", ".h", ".hh", ".hpp", ".inl")

# path -> (x86-only blocks allowed, why). Variant tables and declaration lists
# carry a portable entry outside the block that every target has; the x86
# translation units are wrapped whole and compile to nothing elsewhere.
EXEMPT = {
    "src/device/hqvga_kernels.cpp": (1, "x86 entries of the variant table"),
    "src/device/hqvga_kernels_variants.h": (1, "declarations of the x86 variants"),
    "src/device/hqvga_kernels_avx2_x86.cpp": (1, "x86-only translation unit"),
    "src/device/hqvga_kernels_avx2_x86.h": (1, "x86-only header of the x86 units"),
    "src/device/hqvga_kernels_avx512_x86.cpp": (1, "x86-only translation unit"),
    "src/processing/processing_variants.cpp": (1, "x86 entries of the variant table"),
    "src/processing/processing_variants.h": (1, "declarations of the x86 variants"),
    "src/processing/processing_variants_x86.cpp": (1, "x86-only translation unit"),
    "src/csi/packed12_groups.cpp": (1, "x86 entries of the variant table"),
    "src/csi/packed12_groups.h": (1, "declarations of the x86 variants"),
    "src/csi/packed12_groups_x86.cpp": (1, "x86-only translation unit"),
}


def unsiblinged_x86_branches(text: str) -> list[int]:
    """Line numbers of x86 conditionals without an #else or #elif."""
    stack: list[list] = []
    found: list[int] = []
    for number, line in enumerate(text.splitlines(), 1):
        directive = re.match(r"\s*#\s*(if|ifdef|ifndef|elif|else|endif)\b(.*)", line)
        if not directive:
            continue
        keyword, condition = directive.groups()
        condition = condition.split("//")[0]
        if keyword.startswith("if"):
            stack.append([number, bool(X86_MACRO.search(condition)), False])
        elif keyword in ("elif", "else") and stack:
            stack[-1][2] = True
        elif keyword == "endif" and stack:
            start, is_x86, has_sibling = stack.pop()
            if is_x86 and not has_sibling:
                found.append(start)
    return sorted(found)


def sources(root: pathlib.Path):
    for directory in SOURCE_DIRS:
        for path in sorted((root / directory).rglob("*")):
            if path.suffix in SOURCE_SUFFIXES and path.is_file():
                yield path


def main() -> int:
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    failures = 0
    seen_exempt = set()
    for path in sources(root):
        relative = path.relative_to(root).as_posix()
        lines = unsiblinged_x86_branches(path.read_text(errors="replace"))
        allowed, _ = EXEMPT.get(relative, (0, ""))
        if relative in EXEMPT:
            seen_exempt.add(relative)
        if len(lines) <= allowed:
            continue
        failures += 1
        extra = len(lines) - allowed
        for line in lines:
            print(f"{relative}:{line}: x86-only branch without a portable or aarch64 sibling")
        if allowed:
            print(f"{relative}: {len(lines)} x86-only blocks, {allowed} allowed ({extra} too many)")
    for relative in sorted(set(EXEMPT) - seen_exempt):
        # A stale exemption would silently cover a file of the same name later.
        failures += 1
        print(f"{relative}: listed as exempt but not found")
    print(f"x86 branch check: {'FAILED' if failures else 'ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
