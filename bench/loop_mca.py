"""Static throughput estimates of a routine's vector loop with llvm-mca: takes
GCC's assembly of one translation unit, finds the function, picks its
innermost loop (a label with a later backward branch to it and no other loop
inside) with the most instructions on the widest vector registers, and runs
llvm-mca on that loop body for each processor model.

    python3 bench/loop_mca.py FILE.s SYMBOL_SUBSTRING PIXELS_PER_ITERATION CPU...
    python3 bench/loop_mca.py --all FILE.s SYMBOL_SUBSTRING CPU...

Prints, per processor, llvm-mca's cycles per iteration and per pixel and the
instruction count of the loop; with --all, cycles per iteration of every
innermost loop with vector instructions, in the order of the code (for
routines of several passes, whose pixels per iteration differ). The figures
are models, not measurements.
"""

import re
import subprocess
import sys


def functions(lines):
    """(mangled name, body lines) of every function in GCC's output."""
    name, body = None, []
    for line in lines:
        label = re.match(r"^([A-Za-z_.$][\w.$]*):", line)
        if label and not label.group(1).startswith(".L"):
            if name:
                yield name, body
            name, body = label.group(1), []
        elif name:
            body.append(line)
    if name:
        yield name, body


def innermost_loops(body):
    labels = {}
    for index, line in enumerate(body):
        label = re.match(r"^(\.L\w+):", line)
        if label:
            labels[label.group(1)] = index
    loops = []
    for index, line in enumerate(body):
        jump = re.match(r"^\s+j\w+\s+(\.L\w+)", line)
        if jump and jump.group(1) in labels and labels[jump.group(1)] < index:
            loops.append((labels[jump.group(1)], index))
    return [
        (start, end) for start, end in loops if not any(s > start and e < end for s, e in loops)
    ]


def instructions(lines):
    return [
        line for line in lines if re.match(r"^\s+[a-z]", line) and not re.match(r"^\s+\.", line)
    ]


def cycles_per_iteration(loop, cpu):
    """llvm-mca's estimate, None for a model this llvm-mca lacks."""
    report = subprocess.run(
        ["llvm-mca-14", f"-mcpu={cpu}", "-iterations=200"],
        input="\n".join(loop) + "\n",
        capture_output=True,
        text=True,
    ).stdout
    total = re.search(r"Total Cycles:\s+(\d+)", report)
    return float(total.group(1)) / 200 if total else None


def main():
    every_loop = sys.argv[1] == "--all"
    if every_loop:
        path, wanted, pixels, cpus = sys.argv[2], sys.argv[3], 1.0, sys.argv[4:]
    else:
        path, wanted, pixels = sys.argv[1], sys.argv[2], float(sys.argv[3])
        cpus = sys.argv[4:]
    with open(path) as handle:
        lines = handle.read().splitlines()
    matches = [(name, body) for name, body in functions(lines) if wanted in name]
    if not matches:
        sys.exit(f"no function whose symbol holds {wanted!r}")
    name, body = matches[0]
    pretty = subprocess.run(["c++filt", name], capture_output=True, text=True).stdout.strip()
    loops = innermost_loops(body)
    if every_loop:
        print(pretty)
        for start, end in sorted(loops):
            loop = instructions(body[start : end + 1])
            if not any("mm" in line for line in loop):
                continue
            estimates = []
            for cpu in cpus:
                cycles = cycles_per_iteration(loop, cpu)
                estimates.append(f"{cpu} {cycles:.1f}" if cycles else f"{cpu} -")
            print(
                f"  loop of {len(loop)} instructions, cycles per iteration: " + ", ".join(estimates)
            )
        return

    # The vector loop: most instructions on the widest registers it uses.
    def weight(loop):
        text = instructions(body[loop[0] : loop[1] + 1])
        return tuple(
            sum(register in line for line in text) for register in ("%zmm", "%ymm", "%xmm")
        )

    start, end = max(loops, key=weight)
    loop = instructions(body[start : end + 1])
    print(f"{pretty}: loop of {len(loop)} instructions, {pixels:g} pixels per iteration")
    for cpu in cpus:
        cycles = cycles_per_iteration(loop, cpu)
        if cycles is None:
            print(f"  {cpu}: not modelled by this llvm-mca")
            continue
        print(f"  {cpu}: {cycles:.1f} cycles per iteration, {cycles / pixels:.2f} per pixel")


if __name__ == "__main__":
    main()
