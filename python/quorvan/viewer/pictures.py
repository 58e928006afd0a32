"""PNG pictures of depth and amplitude planes for the viewer page (standard library + NumPy)."""

from __future__ import annotations

import struct
import zlib
from typing import Any

import numpy as np
import numpy.typing as npt

# The range a depth picture spans when the camera reports none (a replayed
# or stopped camera answers 0): the 240x180 sensor's default range.
DEFAULT_RANGE_MM = 4000

_TURBO = np.array(
    [
        [0.13572138, 4.61539260, -42.66032258, 132.13108234, -152.94239396, 59.28637943],
        [0.09140261, 2.19418839, 4.84296658, -14.18503333, 4.27729857, 2.82956604],
        [0.10667330, 12.64194608, -60.58204836, 110.36276771, -89.90310912, 27.34824973],
    ]
)


def turbo(values: npt.NDArray[Any]) -> npt.NDArray[np.uint8]:
    """RGB of values in [0, 1]: near blue, far red, equal steps looking equal."""
    x = np.clip(values, 0.0, 1.0)[..., None]
    rgb = (x ** np.arange(6)) @ _TURBO.T
    colours: npt.NDArray[np.uint8] = (np.clip(rgb, 0.0, 1.0) * 255.0 + 0.5).astype(np.uint8)
    return colours


def png(pixels: npt.NDArray[Any]) -> bytes:
    """PNG bytes of an 8-bit grey (H, W) or RGB (H, W, 3) array."""
    pixels = np.ascontiguousarray(pixels, dtype=np.uint8)
    height, width = pixels.shape[:2]
    rows = pixels.reshape(height, -1)
    scanlines = np.hstack([np.zeros((height, 1), np.uint8), rows]).tobytes()

    def chunk(kind: bytes, data: bytes) -> bytes:
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", width, height, 8, 2 if pixels.ndim == 3 else 0, 0, 0, 0)
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", header)
        + chunk(b"IDAT", zlib.compress(scanlines, 1))
        + chunk(b"IEND", b"")
    )


def depth_png(depth_mm: npt.NDArray[np.float32], max_mm: float) -> bytes:
    rgb = turbo(depth_mm / max_mm)
    rgb[~(depth_mm > 0)] = 0  # no depth: black
    return png(rgb)


def amplitude_png(amplitude: npt.NDArray[np.float32]) -> bytes:
    top = max(float(np.percentile(amplitude, 99)), 1e-6)
    return png((np.sqrt(np.clip(amplitude / top, 0.0, 1.0)) * 255.0).astype(np.uint8))


def colour_bar_png(width: int = 256, height: int = 16) -> bytes:
    """The depth colour map from 0 (left) to the range (right)."""
    return png(np.repeat(turbo(np.linspace(0.0, 1.0, width))[None], height, axis=0))


__all__ = [
    "DEFAULT_RANGE_MM",
    "amplitude_png",
    "colour_bar_png",
    "depth_png",
    "png",
    "turbo",
]
