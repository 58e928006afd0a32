"""Depth and amplitude pictures as PNG files, the depth one with its scale in millimetres.

What the viewer's page shows beside its picture (the colour bar and its
labels) is drawn into the file here, so that a picture on its own still says
which colour is how far. The labels use a small built-in pixel font: the
package draws with NumPy alone.
"""

from __future__ import annotations

import pathlib
from typing import Union

import numpy as np
import numpy.typing as npt

from .viewer.pictures import png, turbo

__all__ = ["amplitude_picture", "depth_picture", "write_png"]

# Each picture pixel becomes this many pixels across and down.
PICTURE_SCALE = 3
_BAR_HEIGHT = 16
_TICK_HEIGHT = 4
_FONT_SCALE = 2
_MARGIN = 4
# Labels at these fractions of the range, as on the viewer's page.
_LABELS = 4

# 5x7 glyphs of the characters the labels use; "#" is ink.
_GLYPHS = {
    "0": (" ### ", "#   #", "#  ##", "# # #", "##  #", "#   #", " ### "),
    "1": ("  #  ", " ##  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "),
    "2": (" ### ", "#   #", "    #", "   # ", "  #  ", " #   ", "#####"),
    "3": ("#####", "   # ", "  #  ", "   # ", "    #", "#   #", " ### "),
    "4": ("   # ", "  ## ", " # # ", "#  # ", "#####", "   # ", "   # "),
    "5": ("#####", "#    ", "#### ", "    #", "    #", "#   #", " ### "),
    "6": ("  ## ", " #   ", "#    ", "#### ", "#   #", "#   #", " ### "),
    "7": ("#####", "    #", "   # ", "  #  ", " #   ", " #   ", " #   "),
    "8": (" ### ", "#   #", "#   #", " ### ", "#   #", "#   #", " ### "),
    "9": (" ### ", "#   #", "#   #", " ####", "    #", "   # ", " ##  "),
    "m": ("     ", "     ", "## # ", "# # #", "# # #", "#   #", "#   #"),
    " ": ("     ",) * 7,
}
_GLYPH_WIDTH, _GLYPH_HEIGHT = 5, 7

PathLike = Union[str, pathlib.Path]


def write_png(path: PathLike, pixels: npt.NDArray[np.uint8]) -> None:
    """Writes an 8-bit grey (H, W) or RGB (H, W, 3) array as a PNG file."""
    pathlib.Path(path).write_bytes(png(pixels))


def _enlarge(pixels: npt.NDArray[np.uint8]) -> npt.NDArray[np.uint8]:
    return np.repeat(np.repeat(pixels, PICTURE_SCALE, axis=0), PICTURE_SCALE, axis=1)


def _text_mask(text: str) -> npt.NDArray[np.bool_]:
    """The ink of ``text`` in the built-in font, one pixel of space between glyphs."""
    rows = [
        "".join(_GLYPHS[character][row] + " " for character in text) for row in range(_GLYPH_HEIGHT)
    ]
    mask = np.array([[cell == "#" for cell in row] for row in rows], dtype=bool)
    return np.repeat(np.repeat(mask, _FONT_SCALE, axis=0), _FONT_SCALE, axis=1)


def _scale_strip(width: int, max_range_mm: float) -> npt.NDArray[np.uint8]:
    """The colour bar from 0 to the range, with ticks and millimetre labels, on black."""
    label_height = _GLYPH_HEIGHT * _FONT_SCALE
    height = _MARGIN + _BAR_HEIGHT + _TICK_HEIGHT + 2 + label_height + _MARGIN
    strip = np.zeros((height, width, 3), np.uint8)
    top = _MARGIN
    strip[top : top + _BAR_HEIGHT] = turbo(np.linspace(0.0, 1.0, width))[None]
    label_top = top + _BAR_HEIGHT + _TICK_HEIGHT + 2
    free_from = 0  # the first column right of the last label drawn
    for number in range(_LABELS + 1):
        x = min(round(number * (width - 1) / _LABELS), width - 1)
        strip[top + _BAR_HEIGHT : top + _BAR_HEIGHT + _TICK_HEIGHT, x] = 255
        mask = _text_mask(f"{round(max_range_mm * number / _LABELS)} mm")
        # Centred under its tick, but never past either edge; on a picture too
        # narrow for every label, the ones that would overlap are left out.
        left = min(max(x - mask.shape[1] // 2, 0), width - mask.shape[1])
        if left < free_from:
            continue
        strip[label_top : label_top + label_height, left : left + mask.shape[1]][mask] = 255
        free_from = left + mask.shape[1] + _FONT_SCALE * 2
    return strip


def depth_picture(
    depth_mm: npt.NDArray[np.float32], valid: npt.NDArray[np.bool_], max_range_mm: float
) -> npt.NDArray[np.uint8]:
    """RGB picture of depth from 0 (blue) to ``max_range_mm`` (red), invalid pixels
    black, with the colour bar and its millimetre labels underneath."""
    rgb = turbo(depth_mm / max_range_mm)
    rgb[~valid] = 0
    picture = _enlarge(rgb)
    return np.vstack([picture, _scale_strip(picture.shape[1], max_range_mm)])


def amplitude_picture(amplitude: npt.NDArray[np.float32]) -> npt.NDArray[np.uint8]:
    """Grey picture of amplitude, scaled to the 99th percentile so that a few
    bright pixels do not darken all the others."""
    top = max(float(np.percentile(amplitude, 99)), 1e-6)
    grey = np.sqrt(np.clip(amplitude / top, 0.0, 1.0)) * 255.0
    return _enlarge(grey.astype(np.uint8))
