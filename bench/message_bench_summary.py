"""Summarises quorvan_message_bench's JSON output (bench/run.sh calls it).

    python3 bench/message_bench_summary.py message_bench.json

Prints the 640x480 32FC1 Image encoding against memcpy as a ratio of CPU
times, then one line per scene and compressor: compression ratio and
throughput in MB/s of 16-bit depth (CPU time). Uses the median of repeated
runs when the benchmark was repeated, the single run otherwise.
"""

from __future__ import annotations

import json
import sys
from typing import Any, Dict, List

SCENES = {"wall:0": "default scene", "wall:1": "wall scene"}
NOISE = {"noise:0": "ground truth", "noise:1": "noise 0.5%"}


def chosen_runs(benchmarks: List[Dict[str, Any]]) -> Dict[str, Dict[str, Any]]:
    medians = {b["run_name"]: b for b in benchmarks if b.get("aggregate_name") == "median"}
    if medians:
        return medians
    return {b["run_name"]: b for b in benchmarks if b.get("run_type") == "iteration"}


def main(path: str) -> int:
    runs = chosen_runs(json.load(open(path))["benchmarks"])

    def cpu_us(name: str) -> float:
        run = runs[name]
        scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3}[run["time_unit"]]
        return float(run["cpu_time"]) * scale

    print("640x480 32FC1 depth Image as CDR against memcpy of its 1,228,800 bytes (CPU time):")
    for suffix, label in (("", "buffer kept"), ("Fresh", "fresh allocation")):
        encode = cpu_us(f"BM_EncodeImage{suffix}/0/0")
        copy = cpu_us(f"BM_MemcpyPlane{suffix}/0/0")
        print(f"  {label:17s} encode {encode:8.1f} us  memcpy {copy:8.1f} us  "
              f"encode/memcpy: {encode / copy:.2f}x")

    print("lossless 640x480 16-bit depth: ratio, MB/s of depth (CPU time):")
    order = ["Rvl", "RvlDecode", "RvlZstd", "Zstd", "Zlib"]
    compressions = [(name.split("/"), run) for name, run in runs.items()
                    if name.split("/")[0].removeprefix("BM_") in order]
    compressions.sort(key=lambda item: (item[0][1], item[0][2],
                                        order.index(item[0][0].removeprefix("BM_")),
                                        item[0][3:]))
    for parts, run in compressions:
        method = parts[0].removeprefix("BM_")
        if method == "Zlib":
            method = f"Zlib-{parts[3].split(':')[1]}"
        elif method in ("RvlZstd", "Zstd"):
            method += "-1"
        megabytes_per_second = float(run["bytes_per_second"]) / 1e6
        print(f"  {SCENES[parts[1]]:13s} {NOISE[parts[2]]:12s} {method:10s} "
              f"ratio {float(run['ratio']):6.2f}  {megabytes_per_second:8.1f} MB/s")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
