"""Turns the kernel benchmark's JSON output into the comparison lines of
bench/run.sh ("<name>: <ratio>x", reference CPU time / optimised CPU time)
followed by the absolute figures.

    python3 bench/summarise.py kernel_bench.json
"""

import json
import sys

DEPTH_CASES = [(4000, 0), (4000, 4), (2000, 0), (2000, 4)]
LINE_COPIES = ["padded512", "line_pairs", "packed12", "plain"]
USB_BITS = [8, 12, 16, 10]


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


def main():
    context, times = load_times(sys.argv[1])
    comparisons = []  # (name, reference key, optimised key)
    for range_mm, shift in DEPTH_CASES:
        comparisons.append((f"depth_range{range_mm}_shift{shift}",
                            f"BM_DepthReference/range:{range_mm}/shift:{shift}",
                            f"BM_DepthOptimised/range:{range_mm}/shift:{shift}"))
    variants = sorted(key for key in times if key.startswith("BM_DepthVariant/"))
    for key in variants:
        variant = key.split("/")[1]
        comparisons.append((f"depth_variant_{variant}_range4000_shift0",
                            "BM_DepthReference/range:4000/shift:0", key))
    for shift in (0, 4):
        comparisons.append((f"raw_unpack_shift{shift}", f"BM_UnpackReference/shift:{shift}",
                            f"BM_UnpackOptimised/shift:{shift}"))
    for index, routine in enumerate(LINE_COPIES):
        comparisons.append((f"csi_{routine}", f"BM_LineCopyReference/{index}",
                            f"BM_LineCopyOptimised/{index}"))
    for key in sorted(key for key in times if key.startswith("BM_Packed12Variant/")):
        variant = key.split("/")[1]
        comparisons.append((f"csi_packed12_variant_{variant}", "BM_LineCopyReference/2", key))
    for bits in USB_BITS:
        comparisons.append((f"usb_{bits}bit", f"BM_UsbConversionReference/bits:{bits}",
                            f"BM_UsbConversionOptimised/bits:{bits}"))

    present = [c for c in comparisons if c[1] in times and c[2] in times]
    for name, reference, optimised in present:
        print(f"{name}: {times[reference] / times[optimised]:.1f}x")

    print()
    print(f"machine: {context.get('host_name', '?')}, {context.get('num_cpus', '?')} CPUs "
          f"at {context.get('mhz_per_cpu', '?')} MHz, load average "
          f"{' '.join(f'{x:.2f}' for x in context.get('load_avg', []))}")
    print(f"depth kernel variant selected at run time: "
          f"{context.get('depth_kernel_variant', '?')}")
    print(f"12-bit packed unpacker selected at run time: "
          f"{context.get('packed12_variant', '?')}")
    print("times are CPU microseconds per 240x180 frame (per sub-frame for copies)")
    unpack_floor = times.get("BM_UnpackMemcpy")
    frame_floor = times.get("BM_FrameMemcpy")
    for name, reference, optimised in present:
        line = f"  {name}: reference {times[reference]:.1f} us, optimised {times[optimised]:.2f} us"
        floor = None
        if name.startswith("raw_unpack"):
            floor, floor_text = unpack_floor, "memcpy of the 345600 bytes"
        elif name.startswith(("csi_", "usb_")):
            floor, floor_text = frame_floor, "memcpy of the 86400 cache bytes"
        if floor:
            line += f", {floor_text} {floor:.2f} us ({times[optimised] / floor:.1f}x memcpy)"
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
