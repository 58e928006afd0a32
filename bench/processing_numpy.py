"""Straightforward NumPy versions of the native depth filters and of the
deprojection: the yardstick bench/processing_bench.py measures the native
ones against, and the reference the Python tests compare them with. Each
follows the documentation of its native counterpart (include/quorvan)."""

import numpy as np


def unit_rays(width, height, fx, fy, cx, cy):
    """Unit ray of every pixel, shape (height, width, 3); no distortion."""
    u, v = np.meshgrid(np.arange(width, dtype=np.float64), np.arange(height, dtype=np.float64))
    rays = np.stack([(u - cx) / fx, (v - cy) / fy, np.ones_like(u)], axis=-1)
    return (rays / np.linalg.norm(rays, axis=-1, keepdims=True)).astype(np.float32)


def deproject(rays, depth):
    valid = (depth > 0) & np.isfinite(depth)
    return rays * np.where(valid, depth, np.float32(np.nan))[..., None]


def threshold_amplitude(depth, amplitude, min_amplitude):
    return np.where(amplitude >= min_amplitude, depth, np.float32(0))


def reject_saturated(depth, raw, clip_low=-16384, clip_high=16368):
    height, width = depth.shape
    phases = raw.reshape(height, 4, width)
    clipped = (phases.min(axis=1) <= clip_low) | (phases.max(axis=1) >= clip_high)
    return np.where(clipped, np.float32(0), depth)


def remove_flying_pixels(depth, min_jump_mm=40.0, relative_jump=0.03):
    depth = np.where(np.isfinite(depth), depth, np.float32(0))  # NaN, infinity: no depth
    out = depth.copy()
    d = depth[1:-1, 1:-1]
    limit = np.maximum(np.float32(min_jump_mm), np.float32(relative_jump) * d)
    off_row = (np.abs(d - depth[1:-1, :-2]) > limit) & (np.abs(d - depth[1:-1, 2:]) > limit)
    off_column = (np.abs(d - depth[:-2, 1:-1]) > limit) & (np.abs(d - depth[2:, 1:-1]) > limit)
    out[1:-1, 1:-1] = np.where(off_row | off_column, np.float32(0), d)
    return out


def temporal_filter(depth, state, alpha=0.3, reset_jump_mm=60.0):
    """Returns the filtered depth; updates `state` in place."""
    continues = (state > 0) & (np.abs(depth - state) <= reset_jump_mm)
    smoothed = np.where(continues, state + np.float32(alpha) * (depth - state), depth)
    state[...] = np.where((depth > 0) & np.isfinite(depth), smoothed, np.float32(0))
    return state.copy()


def median3x3(depth):
    out = depth.copy()
    height, width = depth.shape
    centre = depth[1:-1, 1:-1]
    window = np.stack([depth[r:r + height - 2, c:c + width - 2]
                       for r in range(3) for c in range(3)])
    window = np.where(window > 0, window, centre)
    median = np.partition(window, 4, axis=0)[4]
    out[1:-1, 1:-1] = np.where(centre > 0, median, np.float32(0))
    return out
