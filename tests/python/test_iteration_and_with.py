"""The frame iterator and the context managers of the camera and its frames."""

import pytest

import QuorvanDepthCamera as qdc
from conftest import FRAME_TIMEOUT_MS, hold_every_frame, open_kit

OK = qdc.TOFErrorCode.QuorvanSuccess


def test_iterator_releases_each_frame_when_the_next_is_taken(depth_camera):
    seen = []
    for frame in depth_camera.frames(FRAME_TIMEOUT_MS):
        seen.append(frame)
        assert frame.getDepthData().shape == (180, 240)
        # The same buffer may come round again as the same Python object;
        # any other earlier frame was given back.
        for earlier in seen[:-1]:
            if earlier is not frame:
                with pytest.raises(RuntimeError, match="releaseFrame"):
                    earlier.getDepthData()
        if len(seen) == 10:  # more than the pool holds: nothing leaks
            break
    # Leaving the loop gave the last frame back too: all three fit again.
    del frame, seen
    hold_every_frame(depth_camera)


def test_iterator_close_and_frames_released_by_hand(depth_camera):
    frames = depth_camera.frames(FRAME_TIMEOUT_MS)
    first = next(frames)
    assert depth_camera.releaseFrame(first) == OK  # by hand: the iterator copes
    second = next(frames)
    frames.close()
    with pytest.raises(RuntimeError):
        second.getDepthData()
    with pytest.raises(StopIteration):
        next(frames)
    hold_every_frame(depth_camera)


def test_iterator_ends_when_no_frame_comes(opened_camera):
    # Never started: every request times out, so the loop just ends.
    assert list(opened_camera.frames(10)) == []


def test_frame_with_block_releases_even_after_an_exception(depth_camera):
    with pytest.raises(ValueError):
        with depth_camera.requestFrame(FRAME_TIMEOUT_MS) as frame:
            frame.getDepthData()
            raise ValueError("the block failed")
    with pytest.raises(RuntimeError):
        frame.getDepthData()
    # A frame released inside the block leaves the exit nothing to do.
    with depth_camera.requestFrame(FRAME_TIMEOUT_MS) as frame:
        assert depth_camera.releaseFrame(frame) == OK
    hold_every_frame(depth_camera)


def test_camera_with_block_stops_and_closes():
    with qdc.QuorvanCamera() as camera:
        assert open_kit(camera) == OK
        assert camera.start(qdc.TOFOutput.DEPTH) == OK
        with camera.requestFrame(FRAME_TIMEOUT_MS) as frame:
            assert frame.getDepthData().shape == (180, 240)
        # Leaving the frame's block gave it back: the handle is spent.
        with pytest.raises(RuntimeError):
            frame.getDepthData()
    # Stopped and closed: the camera opens and streams again.
    assert camera.stop() != OK
    assert open_kit(camera) == OK
    assert camera.start(qdc.TOFOutput.DEPTH) == OK
    assert camera.requestFrame(FRAME_TIMEOUT_MS) is not None
    camera.stop()
    camera.close()


def test_camera_with_block_on_a_camera_never_opened():
    with qdc.QuorvanCamera() as camera:
        pass
    assert camera.getIntrinsics().width == 0


def test_statistics_balance_and_sequences_rise(opened_camera):
    before = opened_camera.getStatistics()
    assert (before.captured, before.delivered, before.queued) == (0, 0, 0)
    assert opened_camera.start(qdc.TOFOutput.DEPTH) == OK
    sequences = []
    for frame in opened_camera.frames(FRAME_TIMEOUT_MS):
        sequences.append(frame.getSequence())
        if len(sequences) == 5:
            break
    assert opened_camera.stop() == OK
    s = opened_camera.getStatistics()
    assert s.captured == s.delivered + s.overwritten + s.skipped + s.queued
    assert s.delivered == 5 and s.skipped == 0
    assert sequences == sorted(set(sequences)) and sequences[-1] < s.captured
    assert "captured=" in repr(s)
