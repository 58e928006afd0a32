"""Depth images as ROS tools read them, from the camera's depth.

The camera (and this package's Python API) gives each pixel's distance from
the optical centre along the pixel's ray, in millimetres, 0 where it has no
depth. ROS depth images (REP 118) hold Z along the optical axis instead:
depth_image_proc and RViz deproject a pixel as x = (u - cx) z / fx,
y = (v - cy) z / fy. :func:`depth_image_for_ros` converts with the rays of the
SDK's point cloud (lens distortion included), in native code::

    depth = depth_image_for_ros(frame.getDepthData(), camera.getIntrinsics())
    # float32 metres, NaN where invalid: a "32FC1" image
    depth16 = depth_image_for_ros(depth_mm, intrinsics, ENCODING_DEPTH_16)
    # uint16 millimetres, 0 where invalid: a "16UC1" image

The ``CameraInfo`` that goes with such an image carries the same intrinsics
(K from fx, fy, cx, cy; D the distortion, "plumb_bob" order k1, k2, p1, p2, k3);
:func:`radial_depth_from_ros` turns such an image back into the camera's
distances.
"""

from __future__ import annotations

import threading
from collections import OrderedDict
from typing import Any, Union

import numpy as np
import numpy.typing as npt

from QuorvanDepthCamera import QuorvanIntrinsics, QuorvanOpticalDepth

from . import messages

__all__ = [
    "DEPTH_ENCODINGS",
    "ENCODING_DEPTH_16",
    "ENCODING_DEPTH_32",
    "IntrinsicsLike",
    "depth_image_for_ros",
    "native_intrinsics",
    "optical_depth",
    "radial_depth_from_ros",
]

ENCODING_DEPTH_32 = "32FC1"
ENCODING_DEPTH_16 = "16UC1"
DEPTH_ENCODINGS = (ENCODING_DEPTH_32, ENCODING_DEPTH_16)

IntrinsicsLike = Union[messages.Intrinsics, QuorvanIntrinsics]

# A camera has one set of intrinsics at a time; a few cover a recording
# replayed beside a live camera without rebuilding rays every frame.
_CACHE_SIZE = 4
_cache: OrderedDict[tuple[Any, ...], QuorvanOpticalDepth] = OrderedDict()
_cache_lock = threading.Lock()


def native_intrinsics(intrinsics: IntrinsicsLike) -> QuorvanIntrinsics:
    """``intrinsics`` as the extension module's model (a copy for either kind)."""
    distortion = [float(value) for value in intrinsics.distortion]
    return QuorvanIntrinsics(
        int(intrinsics.width),
        int(intrinsics.height),
        float(intrinsics.fx),
        float(intrinsics.fy),
        float(intrinsics.cx),
        float(intrinsics.cy),
        distortion,
    )


def optical_depth(intrinsics: IntrinsicsLike) -> QuorvanOpticalDepth:
    """The native converter of ``intrinsics``, its rays built once and kept.

    Raises ``ValueError`` for intrinsics that are not a valid pinhole model.
    """
    model = native_intrinsics(intrinsics)
    key = (
        model.width,
        model.height,
        model.fx,
        model.fy,
        model.cx,
        model.cy,
        tuple(model.distortion),
    )
    with _cache_lock:
        converter = _cache.get(key)
        if converter is not None:
            _cache.move_to_end(key)
            return converter
    converter = QuorvanOpticalDepth(model)
    with _cache_lock:
        _cache[key] = converter
        while len(_cache) > _CACHE_SIZE:
            _cache.popitem(last=False)
    return converter


def depth_image_for_ros(
    depth_mm: npt.ArrayLike, intrinsics: IntrinsicsLike, encoding: str = ENCODING_DEPTH_32
) -> npt.NDArray[Any]:
    """The pixels of a ROS depth image from the camera's radial depth in millimetres.

    ``encoding`` ``"32FC1"`` gives float32 metres with NaN where the camera
    has no depth; ``"16UC1"`` gives uint16 millimetres with 0 there (and where
    Z exceeds 65535 mm). Raises ``ValueError`` for another encoding, a plane
    whose shape is not the intrinsics' image size, or invalid intrinsics.
    """
    if encoding not in DEPTH_ENCODINGS:
        raise ValueError(f"depth encoding {encoding!r}: use one of {', '.join(DEPTH_ENCODINGS)}")
    plane = np.asarray(depth_mm, dtype=np.float32)
    converter = optical_depth(intrinsics)
    if encoding == ENCODING_DEPTH_32:
        return converter.metres(plane)
    return converter.millimetres(plane)


def radial_depth_from_ros(
    depth: npt.ArrayLike, intrinsics: IntrinsicsLike, encoding: str = ENCODING_DEPTH_32
) -> npt.NDArray[np.float32]:
    """The camera's radial millimetres (0 where invalid) from a ROS depth image's pixels."""
    if encoding not in DEPTH_ENCODINGS:
        raise ValueError(f"depth encoding {encoding!r}: use one of {', '.join(DEPTH_ENCODINGS)}")
    plane = np.asarray(depth)
    if encoding == ENCODING_DEPTH_16:
        metres = plane.astype(np.float32) / np.float32(1000.0)
    else:
        metres = plane.astype(np.float32, copy=False)
    return optical_depth(intrinsics).radialMillimetres(metres)
