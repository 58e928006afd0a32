"""What encoding a frame as a ROS message costs from Python, side by side.

    PYTHONPATH=build/python:python python3 bench/message_bench_python.py [--repeat N]

For a 640x480 32FC1 depth image and a 640x480 16SC1 raw stack of eight
sub-frames (the size of a double-frequency raw frame), the median wall time
of quorvan.messages.encode_image (the native encoder behind the Python
function) beside a plain copy of the plane into a new bytes object and beside
rosbags' CDR serializer, a pure-Python reference. Sample values do not
change the cost of an uncompressed image, so the planes are random.
"""

from __future__ import annotations

import argparse
import statistics
import time
from typing import Any, Callable, Dict

import numpy as np
import numpy.typing as npt

from quorvan import messages

try:
    from rosbags.typesys import Stores, get_typestore

    HAVE_ROSBAGS = True
except ImportError:  # the comparison is optional
    HAVE_ROSBAGS = False


def median_us(function: Callable[[], Any], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e6


def rosbags_encoder(plane: npt.NDArray[Any]) -> Callable[[], Any]:
    store = get_typestore(Stores.ROS2_JAZZY)
    types = store.types
    height, width = plane.shape
    message = types["sensor_msgs/msg/Image"](
        header=types["std_msgs/msg/Header"](
            stamp=types["builtin_interfaces/msg/Time"](sec=1, nanosec=2),
            frame_id=messages.FRAME_ID),
        height=height, width=width,
        encoding=messages.ENCODING_FLOAT if plane.dtype == np.float32 else messages.ENCODING_RAW,
        is_bigendian=0, step=width * plane.itemsize,
        data=np.frombuffer(plane.tobytes(), dtype=np.uint8))
    return lambda: store.serialize_cdr(message, "sensor_msgs/msg/Image")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=200)
    arguments = parser.parse_args()
    rng = np.random.default_rng(1)
    planes: Dict[str, npt.NDArray[Any]] = {
        "640x480 32FC1 depth": rng.random((480, 640), dtype=np.float32),
        "640x480x8 16SC1 raw": rng.integers(-2048, 2048, (8 * 480, 640)).astype(np.int16),
    }
    print("encoding an Image from Python (median wall time per message):")
    for label, plane in planes.items():
        native = median_us(lambda: messages.encode_image(plane, 1_000), arguments.repeat)
        copy = median_us(plane.tobytes, arguments.repeat)
        line = (f"  {label}: encode_image {native:8.1f} us  bytes copy {copy:8.1f} us  "
                f"encode/copy: {native / copy:.2f}x")
        if HAVE_ROSBAGS:
            reference = median_us(rosbags_encoder(plane), max(arguments.repeat // 10, 5))
            line += f"  rosbags {reference:8.1f} us ({reference / native:.1f}x the native)"
        print(line)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
