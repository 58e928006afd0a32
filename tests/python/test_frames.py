"""Frames from the emulated kit: planes as arrays, value copies, identity of
frame objects and the refusal of frames whose buffer is gone."""

import time

import numpy as np
import pytest

import QuorvanDepthCamera as qdc
from conftest import HQVGA_HEIGHT, HQVGA_WIDTH, hold_every_frame, open_kit, wait_for_frame

Success = qdc.TOFErrorCode.QuorvanSuccess
UnkownError = qdc.TOFErrorCode.QuorvanUnkownError


def assert_fresh_array(array, dtype, shape):
    assert isinstance(array, np.ndarray)
    assert array.dtype == dtype
    assert array.shape == shape
    assert array.flags.c_contiguous and array.flags.writeable and array.flags.owndata


class TestDepthFrames:
    def test_planes_and_format(self, depth_camera):
        frame = wait_for_frame(depth_camera)
        assert type(frame) is qdc.DepthData
        shape = (HQVGA_HEIGHT, HQVGA_WIDTH)
        depth = frame.getDepthData()
        confidence = frame.getConfidenceData()
        amplitude = frame.getAmplitudeData()
        for array in (depth, confidence, amplitude):
            assert_fresh_array(array, np.float32, shape)
        # The emulated scene lies between 0.3 m and 4 m and reflects light.
        assert 300 <= np.median(depth) <= 4000
        assert np.all(np.isfinite(depth))
        assert np.median(amplitude) > 0
        assert not np.array_equal(depth, amplitude)
        fmt = frame.getFrameFormat()
        assert isinstance(fmt, qdc.QuorvanFormat)
        assert (fmt.width, fmt.height) == (HQVGA_WIDTH, HQVGA_HEIGHT)
        assert fmt.type == qdc.TOFOutput.DEPTH
        assert depth_camera.releaseFrame(frame) == Success

    def test_arrays_are_independent_of_the_frame(self, depth_camera):
        frame = wait_for_frame(depth_camera)
        depth = frame.getDepthData()
        kept = depth.copy()
        depth[:] = -1.0  # writing to an array leaves the frame alone
        assert np.array_equal(frame.getDepthData(), kept)
        assert depth_camera.releaseFrame(frame) == Success
        for _ in range(6):  # later frames overwrite the same buffers
            depth_camera.releaseFrame(wait_for_frame(depth_camera))
        assert np.all(depth == -1.0)
        assert kept.shape == (HQVGA_HEIGHT, HQVGA_WIDTH)

    def test_timestamps_advance(self, depth_camera):
        first = wait_for_frame(depth_camera)
        first_time = first.getFrameFormat().timestamp
        depth_camera.releaseFrame(first)
        second = wait_for_frame(depth_camera)
        assert second.getFrameFormat().timestamp > first_time
        depth_camera.releaseFrame(second)

    def test_a_depth_frame_has_no_raw_plane(self, depth_camera):
        frame = wait_for_frame(depth_camera)
        with pytest.raises(RuntimeError, match="raw plane"):
            qdc.RawData.getRawData(frame)
        with pytest.raises(TypeError):
            qdc.RawData.getFrameFormat(frame)
        assert depth_camera.releaseFrame(frame) == Success


def test_raw_frames(raw_camera):
    frame = wait_for_frame(raw_camera)
    assert type(frame) is qdc.RawData
    raw = frame.getRawData()
    # Four phase images of 240x180 stacked.
    assert_fresh_array(raw, np.int16, (4 * HQVGA_HEIGHT, HQVGA_WIDTH))
    assert raw.any()
    fmt = frame.getFrameFormat()
    assert (fmt.width, fmt.height, fmt.type) == (HQVGA_WIDTH, 4 * HQVGA_HEIGHT, qdc.TOFOutput.RAW)
    with pytest.raises(RuntimeError, match="depth planes"):
        qdc.DepthData.getDepthData(frame)
    assert raw_camera.releaseFrame(frame) == Success


def test_same_python_object_for_the_same_buffer(depth_camera):
    first_round = hold_every_frame(depth_camera)
    for frame in first_round:
        assert depth_camera.releaseFrame(frame) == Success
    second_round = hold_every_frame(depth_camera)
    # The pool has three buffers, and each still has a live Python object.
    assert {id(frame) for frame in second_round} == {id(frame) for frame in first_round}
    for frame in second_round:
        depth_camera.releaseFrame(frame)


def test_property_copies():
    camera = qdc.QuorvanCamera()
    assert camera.open(qdc.TOFConnect.USB, 0) == Success  # the default 12-bit kit
    info = camera.getCameraInfo()
    assert (info.width, info.height) == (HQVGA_WIDTH, HQVGA_HEIGHT)
    assert info.device_type == qdc.TOFDeviceType.HQVGA
    assert info.connect == qdc.TOFConnect.USB
    assert info.bit_width == 12 and info.bpp == 2
    assert camera.getCameraInfo() is not info
    info.width = 5
    assert info.width == 5
    assert camera.getCameraInfo().width == HQVGA_WIDTH
    for bad in (-1, 2**32, 1.0):
        with pytest.raises(TypeError):
            info.height = bad
    with pytest.raises(TypeError):
        info.connect = 1
    info.connect = qdc.TOFConnect.CSI
    assert camera.getCameraInfo().connect == qdc.TOFConnect.USB

    assert camera.start(qdc.TOFOutput.DEPTH) == Success
    frame = wait_for_frame(camera)
    fmt = frame.getFrameFormat()
    fmt.width = 5
    fmt.timestamp = 2**64 - 1
    with pytest.raises(TypeError):
        fmt.timestamp = 2**64
    with pytest.raises(TypeError):
        fmt.type = 2
    assert frame.getFrameFormat().width == HQVGA_WIDTH
    assert camera.getCameraInfo().type == qdc.TOFOutput.DEPTH
    camera.releaseFrame(frame)
    camera.stop()
    camera.close()


class TestStaleFrames:
    def test_refused_after_release(self, depth_camera):
        frame = wait_for_frame(depth_camera)
        assert depth_camera.releaseFrame(frame) == Success
        for read in (frame.getDepthData, frame.getConfidenceData, frame.getAmplitudeData,
                     frame.getFrameFormat):
            with pytest.raises(RuntimeError, match="releaseFrame"):
                read()
        # A second release is refused by the camera and changes nothing.
        assert depth_camera.releaseFrame(frame) == UnkownError
        hold_every_frame(depth_camera)

    def test_readable_after_stop_refused_after_next_start(self, opened_camera):
        assert opened_camera.start(qdc.TOFOutput.DEPTH) == Success
        frame = wait_for_frame(opened_camera)
        before = frame.getDepthData()
        assert opened_camera.stop() == Success
        assert np.array_equal(frame.getDepthData(), before)
        assert frame.getFrameFormat().width == HQVGA_WIDTH

        assert opened_camera.start(qdc.TOFOutput.RAW) == Success
        with pytest.raises(RuntimeError, match="started again"):
            frame.getDepthData()
        with pytest.raises(RuntimeError, match="started again"):
            frame.getFrameFormat()
        # The stale handle cannot release a buffer of the new pool either.
        assert opened_camera.releaseFrame(frame) == UnkownError
        for held in hold_every_frame(opened_camera):
            assert type(held) is qdc.RawData
            assert held is not frame
        opened_camera.stop()

    def test_refused_after_the_camera_is_gone(self):
        camera = qdc.QuorvanCamera()
        assert open_kit(camera) == Success
        assert camera.start(qdc.TOFOutput.DEPTH) == Success
        frame = wait_for_frame(camera)
        del camera  # still streaming, a frame held
        with pytest.raises(RuntimeError, match="no longer exists"):
            frame.getDepthData()
        with pytest.raises(RuntimeError, match="no longer exists"):
            frame.getFrameFormat()

    def test_a_frame_released_to_another_camera(self, depth_camera):
        other = qdc.QuorvanCamera()
        assert open_kit(other) == Success
        assert other.start(qdc.TOFOutput.DEPTH) == Success
        frame = wait_for_frame(depth_camera)
        assert other.releaseFrame(frame) == UnkownError
        assert frame.getDepthData().shape == (HQVGA_HEIGHT, HQVGA_WIDTH)  # still held
        assert depth_camera.releaseFrame(frame) == Success
        hold_every_frame(other)
        other.stop()


def test_request_frame_times_out_with_none_when_every_frame_is_skipped(depth_camera):
    depth_camera.setControl(qdc.TOFControl.SKIP_FRAME_LOOP, 2)
    depth_camera.setControl(qdc.TOFControl.SKIP_FRAME, 2)
    # Drain what was captured before the pattern took effect.
    while (frame := depth_camera.requestFrame(300)) is not None:
        depth_camera.releaseFrame(frame)
    started = time.monotonic()
    assert depth_camera.requestFrame(200) is None
    assert time.monotonic() - started >= 0.15
    depth_camera.setControl(qdc.TOFControl.SKIP_FRAME, 0)
    assert wait_for_frame(depth_camera) is not None


def test_range_control_round_trip(depth_camera):
    assert depth_camera.setControl(qdc.TOFControl.RANGE, 2000) == Success
    assert depth_camera.getControl(qdc.TOFControl.RANGE) == 2000
    for _ in range(5):  # past the frames captured at the old range
        depth_camera.releaseFrame(wait_for_frame(depth_camera))
    frame = wait_for_frame(depth_camera)
    assert np.nanmax(frame.getDepthData()) <= 2000
    depth_camera.releaseFrame(frame)
