"""Intrinsics, point clouds and the depth filters from Python, checked
against the plain NumPy versions kept with the benchmarks."""

import importlib.util
import math

import numpy as np
import pytest

import QuorvanDepthCamera as qdc
from conftest import REPO_ROOT, FRAME_TIMEOUT_MS

OK = qdc.TOFErrorCode.QuorvanSuccess

_module_location = importlib.util.spec_from_file_location("processing_numpy",
                                               REPO_ROOT / "bench" / "processing_numpy.py")
reference = importlib.util.module_from_spec(_module_location)
_module_location.loader.exec_module(reference)

rng = np.random.default_rng(7)


def noisy_depth(height=30, width=40):
    depth = rng.uniform(500, 3000, (height, width)).astype(np.float32)
    depth[rng.random((height, width)) < 0.1] = 0
    return depth


def test_camera_intrinsics_nominal_and_calibrated(opened_camera):
    nominal = opened_camera.getIntrinsics()
    assert (nominal.width, nominal.height) == (240, 180)
    # The kit's 70 degree lens, principal point in the middle of the image.
    assert nominal.fx == pytest.approx(120 / math.tan(math.radians(35)), rel=1e-6)
    assert (nominal.cx, nominal.cy) == (119.5, 89.5)
    assert nominal.distortion == [0.0] * 5

    calibrated = qdc.QuorvanIntrinsics(240, 180, 180.0, 181.0, 120.0, 91.0, [-0.1, 0.01])
    assert opened_camera.setIntrinsics(calibrated) == OK
    got = opened_camera.getIntrinsics()
    assert (got.fx, got.fy, got.cy) == (180.0, 181.0, 91.0)
    assert got.distortion == pytest.approx([-0.1, 0.01, 0, 0, 0])
    # Values for another image size do not apply to this camera.
    assert opened_camera.setIntrinsics(qdc.QuorvanIntrinsics(640, 480, 500, 500, 320, 240)) == OK
    assert opened_camera.getIntrinsics().fx == nominal.fx

    assert opened_camera.setIntrinsics(qdc.QuorvanIntrinsics(240, 180, 0, 1, 1, 1)) == \
        qdc.TOFErrorCode.QuorvanInvalidParameter
    assert opened_camera.loadIntrinsics("/nonexistent.txt") == \
        qdc.TOFErrorCode.QuorvanInvalidParameter
    with pytest.raises(ValueError):
        qdc.QuorvanIntrinsics(240, 180, 1, 1, 1, 1, [0.0] * 6)


def test_point_cloud_of_a_frame(depth_camera):
    intrinsics = depth_camera.getIntrinsics()
    with depth_camera.requestFrame(FRAME_TIMEOUT_MS) as frame:
        depth = frame.getDepthData()
        cloud = frame.getPointCloud()
    assert cloud.shape == (180, 240, 3) and cloud.dtype == np.float32
    rays = reference.unit_rays(240, 180, intrinsics.fx, intrinsics.fy, intrinsics.cx,
                               intrinsics.cy)
    np.testing.assert_allclose(cloud, reference.deproject(rays, depth), rtol=1e-5, atol=1e-3)
    valid = depth > 0
    np.testing.assert_allclose(np.linalg.norm(cloud[valid], axis=-1), depth[valid], rtol=1e-5)
    assert np.isnan(cloud[~valid]).all()
    with pytest.raises(RuntimeError):
        frame.getPointCloud()


def test_deprojector_refuses_mismatched_planes():
    deprojector = qdc.QuorvanDeprojector(qdc.QuorvanIntrinsics(40, 30, 30, 30, 19.5, 14.5))
    depth = noisy_depth()
    rays = reference.unit_rays(40, 30, 30, 30, 19.5, 14.5)
    np.testing.assert_allclose(deprojector.deproject(depth), reference.deproject(rays, depth),
                               rtol=1e-5, atol=1e-3)
    with pytest.raises(ValueError):
        deprojector.deproject(depth.T)
    with pytest.raises(ValueError):
        qdc.QuorvanDeprojector(qdc.QuorvanIntrinsics(40, 30, -1, 30, 19.5, 14.5))


def test_filters_match_their_numpy_versions():
    depth = noisy_depth()
    amplitude = rng.uniform(0, 1000, depth.shape).astype(np.float32)
    F = qdc.QuorvanFilters
    np.testing.assert_array_equal(F.thresholdAmplitude(depth, amplitude, 300),
                                  reference.threshold_amplitude(depth, amplitude, 300))
    np.testing.assert_array_equal(F.removeFlyingPixels(depth, 50.0, 0.05),
                                  reference.remove_flying_pixels(depth, 50.0, 0.05))
    np.testing.assert_array_equal(F.median3x3(depth), reference.median3x3(depth))
    raw = rng.integers(-16384, 16369, (4 * depth.shape[0], depth.shape[1]), dtype=np.int16)
    np.testing.assert_array_equal(F.rejectSaturated(depth, raw), reference.reject_saturated(depth, raw))

    native = qdc.QuorvanTemporalFilter(alpha=0.25, reset_jump_mm=80.0)
    state = np.zeros_like(depth)
    for _ in range(4):
        frame = depth + rng.normal(0, 20, depth.shape).astype(np.float32) * (depth > 0)
        np.testing.assert_allclose(native.apply(frame),
                                   reference.temporal_filter(frame, state, 0.25, 80.0), rtol=1e-6)
    native.reset()
    np.testing.assert_array_equal(native.apply(depth), depth)


def test_filters_refuse_bad_planes():
    F = qdc.QuorvanFilters
    depth = noisy_depth()
    with pytest.raises(ValueError):
        F.median3x3(np.zeros(10, np.float32))
    with pytest.raises(ValueError):
        F.thresholdAmplitude(depth, depth[:, :5], 1.0)
    with pytest.raises(ValueError):
        F.rejectSaturated(depth, np.zeros(depth.shape, np.int16))
    with pytest.raises(ValueError):
        qdc.QuorvanTemporalFilter(alpha=0.0)
    # Other dtypes and layouts are converted, never misread.
    np.testing.assert_array_equal(F.median3x3(depth.astype(np.float64)), F.median3x3(depth))
    np.testing.assert_array_equal(F.median3x3(np.asfortranarray(depth)), F.median3x3(depth))


def test_capture_filters_apply_to_the_frames_handed_out(depth_camera):
    filters = qdc.QuorvanCaptureFilters()
    assert (filters.min_amplitude, filters.flying_pixels, filters.median, filters.temporal) == \
        (0.0, False, False, False)
    before = depth_camera.requestFrame(FRAME_TIMEOUT_MS)
    assert before is not None
    assert np.count_nonzero(before.getDepthData()) > 0
    depth_camera.releaseFrame(before)

    # No pixel has this much light: once the thread applies the threshold,
    # every depth frame is empty.
    filters.min_amplitude = 1e9
    filters.median = True
    assert depth_camera.setCaptureFilters(filters) == OK
    kept = depth_camera.getCaptureFilters()
    assert (kept.min_amplitude, kept.median, kept.flying_pixels) == (1e9, True, False)
    empty = 0
    for _ in range(40):
        frame = depth_camera.requestFrame(FRAME_TIMEOUT_MS)
        assert frame is not None
        empty = empty + 1 if np.count_nonzero(frame.getDepthData()) == 0 else 0
        depth_camera.releaseFrame(frame)
        if empty == 3:
            break
    assert empty == 3

    refused = qdc.QuorvanCaptureFilters()
    refused.alpha = 0.0
    assert depth_camera.setCaptureFilters(refused) == qdc.TOFErrorCode.QuorvanInvalidParameter
    assert depth_camera.getCaptureFilters().min_amplitude == 1e9
