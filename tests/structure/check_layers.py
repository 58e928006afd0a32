#!/usr/bin/env python3
"""Checks the library's include structure against its layers.

The library's folders stand in layers, top to bottom (LAYERS below). A file
may include files of its own folder and of folders in lower layers, never of
a folder in its own layer or above it; and no chain of includes may lead from
a file back to itself. The stand-in libraries under emulation/ include
nothing of the library but the C interfaces in src/vendor/.

    tests/structure/check_layers.py [ROOT]    # exit 1 and a list of faults
    tests/structure/check_layers.py --self-test

Includes are read as text ("#include" lines, commented-out ones too, which
errs on the strict side) and resolved as the build resolves them: beside the
including file, then through the include folders of INCLUDE_ROOTS. An
include that resolves to no file of the tree (a system header) is ignored.
"""

from __future__ import annotations

import re
import sys
import tempfile
from collections.abc import Iterable, Sequence
from pathlib import Path

# Top to bottom. Folders of one layer are peers: neither includes the other.
LAYERS: tuple[tuple[str, ...], ...] = (
    # The extension module's bindings: translation only.
    ("python",),
    # The camera: lifecycle, capture thread, frame pool, controls.
    ("src/camera",),
    # The CSI backend (it reads the range table in src/device).
    ("src/csi",),
    # The 240x180 and 640x480 devices, the USB and playback backends with the
    # range and sensor-size tables; depth filters, intrinsics and point
    # clouds; ROS 2 message encoding.
    ("src/device", "src/processing", "src/ros"),
    # Which host this is, and what the host alone decides.
    ("src/host",),
    # The kernel-access layer and instruction-set detection.
    ("src/system",),
    # The library log.
    ("src/log",),
    # The public headers and the closed libraries' C interfaces.
    ("include/quorvan", "src/vendor"),
)

# Include folders of the build, in the order the compiler searches them.
INCLUDE_ROOTS: tuple[str, ...] = ("src", "include", "src/vendor", "python", "emulation")

# Checked apart from the layers: they may include only their own files and
# the vendor interfaces.
ISLANDS: tuple[str, ...] = ("emulation",)
ISLAND_MAY_INCLUDE: tuple[str, ...] = ("src/vendor",)

SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".cc", ".c"}
INCLUDE_LINE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)


def folder_of(relative: Path, folders: Iterable[str]) -> str | None:
    """The longest listed folder that holds `relative`, or None."""
    best: str | None = None
    for folder in folders:
        parts = Path(folder).parts
        if relative.parts[: len(parts)] == parts and (
            best is None or len(parts) > len(Path(best).parts)
        ):
            best = folder
    return best


def source_files(root: Path, tops: Iterable[str]) -> list[Path]:
    files: list[Path] = []
    for top in sorted({Path(folder).parts[0] for folder in tops}):
        base = root / top
        if base.is_dir():
            files.extend(p for p in base.rglob("*") if p.suffix in SOURCE_SUFFIXES and p.is_file())
    return sorted(files)


def resolve(root: Path, including: Path, written: str, include_roots: Sequence[str]) -> Path | None:
    for base in (including.parent, *(root / r for r in include_roots)):
        candidate = (base / written).resolve()
        if candidate.is_file() and root.resolve() in candidate.parents:
            return candidate
    return None


def include_graph(
    root: Path, files: Sequence[Path], include_roots: Sequence[str]
) -> dict[Path, list[tuple[Path, str]]]:
    graph: dict[Path, list[tuple[Path, str]]] = {}
    for path in files:
        text = path.read_text(encoding="utf-8", errors="replace")
        targets = []
        for written in INCLUDE_LINE.findall(text):
            target = resolve(root, path, written, include_roots)
            if target is not None:
                targets.append((target, written))
        graph[path.resolve()] = targets
    return graph


def include_cycles(graph: dict[Path, list[tuple[Path, str]]]) -> list[list[Path]]:
    """Every group of files that reach each other through includes (Tarjan)."""
    index: dict[Path, int] = {}
    low: dict[Path, int] = {}
    stack: list[Path] = []
    on_stack: set[Path] = set()
    groups: list[list[Path]] = []
    counter = 0

    def visit(start: Path) -> None:
        nonlocal counter
        # Iterative, so that a deep include chain cannot exhaust the stack.
        work: list[tuple[Path, int]] = [(start, 0)]
        index[start] = low[start] = counter
        counter += 1
        stack.append(start)
        on_stack.add(start)
        while work:
            node, position = work[-1]
            edges = graph.get(node, [])
            if position < len(edges):
                work[-1] = (node, position + 1)
                target = edges[position][0]
                if target not in index:
                    index[target] = low[target] = counter
                    counter += 1
                    stack.append(target)
                    on_stack.add(target)
                    work.append((target, 0))
                elif target in on_stack:
                    low[node] = min(low[node], index[target])
                continue
            work.pop()
            if work:
                parent = work[-1][0]
                low[parent] = min(low[parent], low[node])
            if low[node] == index[node]:
                group = []
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    group.append(member)
                    if member == node:
                        break
                self_loop = any(t == node for t, _ in graph.get(node, []))
                if len(group) > 1 or self_loop:
                    groups.append(sorted(group))

    for node in graph:
        if node not in index:
            visit(node)
    return groups


def check(
    root: Path,
    layers: Sequence[Sequence[str]] = LAYERS,
    include_roots: Sequence[str] = INCLUDE_ROOTS,
    islands: Sequence[str] = ISLANDS,
    island_may_include: Sequence[str] = ISLAND_MAY_INCLUDE,
) -> list[str]:
    """The faults of the tree at `root`, one line each; empty when it keeps its layers."""
    root = root.resolve()
    rank = {folder: depth for depth, layer in enumerate(layers) for folder in layer}
    known = [*rank, *islands]
    files = source_files(root, known)
    graph = include_graph(root, files, include_roots)
    faults: list[str] = []

    def relative(path: Path) -> Path:
        return path.relative_to(root)

    # Every folder that holds sources must stand in a layer.
    for top in sorted({Path(folder).parts[0] for folder in rank}):
        base = root / top
        if not base.is_dir():
            continue
        for path in files:
            rel = relative(path.resolve())
            if rel.parts[0] == top and folder_of(rel, known) is None:
                faults.append(f"{rel}: its folder stands in no layer (add it to LAYERS)")

    for source, targets in graph.items():
        source_rel = relative(source)
        source_folder = folder_of(source_rel, known)
        if source_folder is None:
            continue
        for target, written in targets:
            target_folder = folder_of(relative(target), known)
            if target_folder is None or target_folder == source_folder:
                continue
            what = f'{source_rel}: includes "{written}" of {target_folder}/'
            if source_folder in islands:
                if target_folder not in island_may_include:
                    faults.append(f"{what}, which {source_folder}/ may not use")
                continue
            if target_folder in islands:
                faults.append(f"{what}, which the library may not use")
                continue
            if rank[target_folder] <= rank[source_folder]:
                where = "beside it" if rank[target_folder] == rank[source_folder] else "above it"
                faults.append(f"{what}, which stands {where}")

    for group in include_cycles(graph):
        faults.append("include cycle: " + " -> ".join(str(relative(p)) for p in group))
    return sorted(set(faults))


def self_test() -> int:
    """Shows on small trees that the check finds what it is meant to find."""
    layers = (("src/top",), ("src/middle", "src/peer"), ("src/bottom", "src/vendor"))

    def tree(files: dict[str, str]) -> list[str]:
        with tempfile.TemporaryDirectory() as scratch:
            root = Path(scratch)
            for name, text in files.items():
                (root / name).parent.mkdir(parents=True, exist_ok=True)
                (root / name).write_text(text)
            return check(
                root, layers, ("src", "src/vendor", "emulation"), ("emulation",), ("src/vendor",)
            )

    clean = {
        "src/top/a.cpp": '#include "middle/m.h"\n#include "bottom/b.h"\n#include <vector>\n',
        "src/top/t.h": "",
        "src/middle/m.h": '#include "bottom/b.h"\n#include "m_detail.h"\n',
        "src/middle/m_detail.h": "",
        "src/peer/p.h": '#include "bottom/b.h"\n',
        "src/bottom/b.h": '#include "missing/system_header.h"\n',
        "src/vendor/c_api.h": "",
        "emulation/kit/kit.cpp": '#include "c_api.h"\n',
    }
    # Each tree is the clean one with one file rewritten: file, its text, the one fault expected.
    broken = {
        "an include of a higher layer": ("src/bottom/b.h", '#include "top/t.h"', "above it"),
        "an include of a peer": ("src/peer/p.h", '#include "middle/m.h"', "beside it"),
        "a cycle in a folder": ("src/middle/m_detail.h", '#include "m.h"', "cycle: src/middle/m.h"),
        "a file including itself": ("src/peer/p.h", '#include "p.h"', "cycle: src/peer/p.h"),
        "a folder in no layer": ("src/new/n.cpp", "", "src/new/n.cpp: its folder stands in no"),
        "a stand-in using the library": (
            "emulation/kit/kit.cpp",
            '#include "middle/m.h"',
            "may not",
        ),
        "the library using a stand-in": ("src/top/a.cpp", '#include "kit/kit.cpp"', "library may"),
    }
    failed = 0
    if tree(clean):
        failed += 1
        print(f"self-test: the clean tree: faults {tree(clean)}", file=sys.stderr)
    for what, (name, text, wanted) in broken.items():
        faults = tree({**clean, name: text + "\n"})
        if len(faults) != 1 or wanted not in faults[0]:
            failed += 1
            print(f"self-test: {what}: expected '{wanted}', got {faults}", file=sys.stderr)
    print(f"self-test: {1 + len(broken) - failed} of {1 + len(broken)} trees judged as expected")
    return 1 if failed else 0


def main(arguments: Sequence[str]) -> int:
    if arguments[:1] == ["--self-test"]:
        return self_test()
    root = Path(arguments[0]) if arguments else Path(__file__).resolve().parents[2]
    faults = check(root)
    for fault in faults:
        print(fault, file=sys.stderr)
    if faults:
        print(
            f"{len(faults)} include(s) break the layers (tests/structure/check_layers.py)",
            file=sys.stderr,
        )
        return 1
    layers = " > ".join(" ".join(layer) for layer in LAYERS)
    print(f"includes keep the layers: {layers}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
