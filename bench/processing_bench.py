"""Depth filters and deprojection: the native functions (through the
extension module, so the figures include the call and the copy of the result)
beside the plain NumPy versions of bench/processing_numpy.py, in the same
process on the same data. Prints "<name> <size>: <ratio>x" (NumPy time over
native time, median of the repetitions), then the absolute figures against
the per-filter budget of a tenth of a 30 fps frame period.

    python3 bench/processing_bench.py [--repeat N]
"""

import argparse
import pathlib
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import processing_numpy as ref  # noqa: E402

import QuorvanDepthCamera as qdc  # noqa: E402

BUDGET_US = 1e6 / 30 / 10


def median_us(function, repeat):
    function()  # warm caches and lazily built tables
    samples = []
    for _ in range(repeat):
        begin = time.perf_counter()
        function()
        samples.append((time.perf_counter() - begin) * 1e6)
    return statistics.median(samples)


def cases(width, height):
    rng = np.random.default_rng(1)
    depth = rng.uniform(300, 4000, (height, width)).astype(np.float32)
    depth[rng.random(depth.shape) < 0.05] = 0
    amplitude = rng.uniform(0, 4000, depth.shape).astype(np.float32)
    raw = rng.integers(-16384, 16369, (4 * height, width), dtype=np.int16)
    intrinsics = qdc.QuorvanIntrinsics(width, height, 0.5 * width / np.tan(np.radians(35)),
                                       0.5 * width / np.tan(np.radians(35)),
                                       width / 2 - 0.5, height / 2 - 0.5)
    deprojector = qdc.QuorvanDeprojector(intrinsics)
    rays = ref.unit_rays(width, height, intrinsics.fx, intrinsics.fy, intrinsics.cx,
                         intrinsics.cy)
    temporal = qdc.QuorvanTemporalFilter()
    state = np.zeros_like(depth)
    F = qdc.QuorvanFilters
    return [
        ("threshold", lambda: F.thresholdAmplitude(depth, amplitude, 500.0),
         lambda: ref.threshold_amplitude(depth, amplitude, 500.0)),
        ("saturation", lambda: F.rejectSaturated(depth, raw),
         lambda: ref.reject_saturated(depth, raw)),
        ("flying_pixels", lambda: F.removeFlyingPixels(depth),
         lambda: ref.remove_flying_pixels(depth)),
        ("temporal", lambda: temporal.apply(depth), lambda: ref.temporal_filter(depth, state)),
        ("median3x3", lambda: F.median3x3(depth), lambda: ref.median3x3(depth)),
        ("deproject", lambda: deprojector.deproject(depth), lambda: ref.deproject(rays, depth)),
    ]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=200)
    repeat = parser.parse_args().repeat
    rows = []
    for width, height in ((240, 180), (640, 480)):
        for name, native, numpy_version in cases(width, height):
            native_us = median_us(native, repeat)
            numpy_us = median_us(numpy_version, max(repeat // 4, 5))
            rows.append((f"{name} {width}x{height}", native_us, numpy_us))
    for label, native_us, numpy_us in rows:
        print(f"{label} vs numpy: {numpy_us / native_us:.1f}x")
    print()
    print(f"per frame, budget {BUDGET_US:.0f} us (a tenth of 33.3 ms):")
    for label, native_us, numpy_us in rows:
        verdict = "within budget" if native_us < BUDGET_US else "OVER BUDGET"
        print(f"  {label:24s} native {native_us:8.1f} us   numpy {numpy_us:8.1f} us   {verdict}")


if __name__ == "__main__":
    main()
