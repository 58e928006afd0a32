"""Turns the JSON output of the kernel and filter benchmarks into the lines of
bench/run.sh: the processor, then for every kernel and every variant that
ran one line

    kernel <name> <variant>: <r>x reference, <m>x memcpy

(r: the scalar reference's CPU time over this variant's; m: this variant's
CPU time over a memcpy moving as many bytes as the kernel reads and writes
together; a part without a reference or memcpy is left out), then the
absolute figures.

    python3 bench/summarise.py kernel_bench.json [filter_bench.json]
"""

import json
import re
import sys

DEPTH_CASES = [(4000, 0), (4000, 4), (2000, 0), (2000, 4)]
LINE_COPIES = ["padded512", "line_pairs", "packed12", "plain"]
USB_BITS = [8, 12, 16, 10]
FILTER_ROUTINES = ["threshold", "saturation", "flying_pixels", "temporal", "median3x3",
                   "deproject"]
FILTER_SIZES = ["240x180", "640x480"]
# Variants from least to most demanding, as the dispatch tables list them;
# kernels compiled for the baseline only count as "portable".
VARIANT_ORDER = ["portable", "neon", "ssse3", "avx2", "avx512"]


def load_times(path):
    """CPU time in microseconds per benchmark: the median aggregate when the
    run repeated, the single measurement otherwise."""
    with open(path) as handle:
        report = json.load(handle)
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}
    singles, medians = {}, {}
    for entry in report["benchmarks"]:
        time_us = entry["cpu_time"] * scale[entry.get("time_unit", "ns")]
        name = entry.get("run_name", entry["name"])
        if entry.get("run_type") == "aggregate":
            if entry.get("aggregate_name") == "median":
                medians[name] = time_us
        else:
            singles.setdefault(name, time_us)
    singles.update(medians)
    return report["context"], singles


def processor_model():
    try:
        with open("/proc/cpuinfo") as handle:
            for line in handle:
                key, _, value = line.partition(":")
                if key.strip() in ("model name", "Model", "Hardware"):
                    return value.strip()
    except OSError:
        pass
    return "unknown processor"


def variant_key(variant):
    return VARIANT_ORDER.index(variant) if variant in VARIANT_ORDER else len(VARIANT_ORDER)


def kernels(times):
    """(name, variant, optimised key, reference key or None, memcpy key or
    None, what the memcpy moves) for every measured kernel and variant."""
    rows = []

    def variants_of(prefix, suffix=""):
        found = {}
        pattern = re.compile("^" + re.escape(prefix) + r"([a-z0-9]+)" + re.escape(suffix) + "$")
        for key in times:
            match = pattern.match(key)
            if match:
                found[match.group(1)] = key
        return sorted(found.items(), key=lambda item: variant_key(item[0]))

    depth_bytes = "432000 bytes (depth reads 345600, writes 518400)"
    for range_mm, shift in DEPTH_CASES:
        suffix = f"/range:{range_mm}/shift:{shift}"
        for variant, key in variants_of("BM_DepthVariant/", suffix):
            rows.append((f"depth_range{range_mm}_shift{shift}", variant, key,
                         f"BM_DepthReference{suffix}", "BM_DepthMemcpy", depth_bytes))
    for shift in (0, 4):
        for variant, key in variants_of("BM_UnpackVariant/", f"/shift:{shift}"):
            rows.append((f"raw_unpack_shift{shift}", variant, key,
                         f"BM_UnpackReference/shift:{shift}", "BM_UnpackMemcpy",
                         "345600 bytes"))
    sub_frame = "86400 bytes"
    for index, routine in enumerate(LINE_COPIES):
        if routine == "packed12":
            for variant, key in variants_of("BM_Packed12Variant/"):
                rows.append((f"csi_{routine}", variant, key, "BM_LineCopyReference/2",
                             "BM_FrameMemcpy", sub_frame))
        else:
            rows.append((f"csi_{routine}", "portable", f"BM_LineCopyOptimised/{index}",
                         f"BM_LineCopyReference/{index}", "BM_FrameMemcpy", sub_frame))
    for bits in USB_BITS:
        rows.append((f"usb_{bits}bit", "portable", f"BM_UsbConversionOptimised/bits:{bits}",
                     f"BM_UsbConversionReference/bits:{bits}", "BM_FrameMemcpy", sub_frame))
    for routine in FILTER_ROUTINES:
        for size in FILTER_SIZES:
            prefix = f"BM_Processing/{routine}_{size}/"
            for variant, key in variants_of(prefix):
                if variant in ("reference", "memcpy"):
                    continue
                rows.append((f"{routine}_{size}", variant, key, prefix + "reference",
                             prefix + "memcpy", "half the bytes it reads and writes"))
    return [row for row in rows if row[2] in times]


def main():
    context, times = load_times(sys.argv[1])
    selected = {"depth and raw unpack": context.get("depth_kernel_variant", "?"),
                "12-bit packed unpack": context.get("packed12_variant", "?")}
    for path in sys.argv[2:]:
        filter_context, filter_times = load_times(path)
        times.update(filter_times)
        selected["filters and deprojection"] = filter_context.get("processing_variant", "?")

    print(f"processor: {processor_model()}, {context.get('num_cpus', '?')} CPUs, "
          f"load average {' '.join(f'{x:.2f}' for x in context.get('load_avg', []))}")
    print("selected at run time: " + ", ".join(f"{what} {name}" for what, name in selected.items()))
    rows = kernels(times)
    for name, variant, key, reference, floor, _ in rows:
        parts = []
        if reference in times:
            parts.append(f"{times[reference] / times[key]:.1f}x reference")
        if floor in times:
            parts.append(f"{times[key] / times[floor]:.1f}x memcpy")
        print(f"kernel {name} {variant}: {', '.join(parts)}")

    print()
    print("CPU microseconds per call (a 240x180 frame unless named otherwise; one sub-frame "
          "for csi_ and usb_):")
    for name, variant, key, reference, floor, floor_text in rows:
        line = f"  {name} {variant}: {times[key]:.2f} us"
        if reference in times:
            line += f", reference {times[reference]:.1f} us"
        if floor in times:
            line += f", memcpy of {floor_text}: {times[floor]:.2f} us"
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
