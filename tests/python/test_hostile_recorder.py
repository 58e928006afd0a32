"""The recorder under a failing disk and bad arguments: it never hangs and never
destroys a file it was not allowed to write."""

import errno
import io
import threading
import time

import pytest

import QuorvanDepthCamera as qdc
from conftest import DEADLINE_SCALE, FRAME_TIMEOUT_MS
from quorvan.record import Recorder
from quorvan.stream import FrameStream, SinkFailed

# Generous: closing writes a few frames and the index.
CLOSE_DEADLINE_S = 30.0


class _DiskThatFills(io.BytesIO):
    """Accepts the first ``capacity`` bytes, then fails like a full disk."""

    def __init__(self, capacity):
        super().__init__()
        self.capacity = capacity

    def write(self, data):
        if self.tell() + len(data) > self.capacity:
            raise OSError(errno.ENOSPC, "No space left on device")
        return super().write(data)


def _close_within_deadline(recorder):
    """close() on a thread of its own: a hang fails the test instead of freezing it."""
    outcome = {}

    def close():
        try:
            recorder.close()
            outcome["raised"] = None
        except BaseException as error:  # noqa: BLE001 - the test looks at it
            outcome["raised"] = error

    closer = threading.Thread(target=close, daemon=True)
    closer.start()
    closer.join(CLOSE_DEADLINE_S)
    assert not closer.is_alive(), "Recorder.close() hung after a write error"
    return outcome["raised"]


@pytest.mark.parametrize("target", ["stream", "/dev/full"])
def test_full_disk_makes_write_raise_and_close_return(raw_camera, tmp_path, target):
    if target == "stream":
        recorder = Recorder(tmp_path / "unused", raw_camera, output=_DiskThatFills(64 * 1024),
                            queue_frames=4)
    else:
        recorder = Recorder(target, raw_camera, queue_frames=4)
    frame = raw_camera.requestFrame(FRAME_TIMEOUT_MS)
    assert frame is not None
    refused = None
    attempts = 0
    try:
        # Far more frames than the disk and the queue hold, at about a camera's
        # pace: once the disk has failed, write() has to say so.
        deadline = time.monotonic() + CLOSE_DEADLINE_S
        while time.monotonic() < deadline:
            attempts += 1
            try:
                recorder.write(frame)
            except RuntimeError as error:
                refused = error
                break
            time.sleep(0.002)
    finally:
        raw_camera.releaseFrame(frame)
        raised = _close_within_deadline(recorder)
    assert refused is not None and "No space left" in str(refused)
    assert isinstance(raised, RuntimeError) and "No space left" in str(raised)
    assert recorder.written < attempts and recorder.dropped > 0


def test_failed_start_leaves_an_existing_file_untouched(opened_camera, tmp_path):
    precious = tmp_path / "precious.mcap"
    precious.write_bytes(b"an earlier recording" * 1000)
    with pytest.raises(FileNotFoundError):
        Recorder(precious, opened_camera, kit_config=tmp_path / "nonexistent.cfg")
    with pytest.raises(FileNotFoundError):
        Recorder(precious, opened_camera, calibration="/nonexistent/cali.bin")
    assert precious.read_bytes() == b"an earlier recording" * 1000


@pytest.mark.parametrize("queue_frames", [0, -3, 2.5, True])
def test_queue_must_hold_at_least_one_frame(opened_camera, tmp_path, queue_frames):
    # Queue(maxsize=0) is unbounded: a slow disk would take all memory.
    target = tmp_path / "kept.mcap"
    target.write_bytes(b"kept")
    with pytest.raises(ValueError, match="queue_frames"):
        Recorder(target, opened_camera, queue_frames=queue_frames)
    assert target.read_bytes() == b"kept"


class _DiskThatDies(io.BytesIO):
    """Takes ``capacity`` bytes, then fails every write; notes when it first failed."""

    def __init__(self, capacity):
        super().__init__()
        self.capacity = capacity
        self.failed_at = None

    def write(self, data):
        if self.tell() + len(data) > self.capacity:
            if self.failed_at is None:
                self.failed_at = time.monotonic()
            raise OSError(errno.EIO, "Input/output error")
        return super().write(data)


class _DiskThatStalls(io.BytesIO):
    """Every write waits until ``release`` is set, as a hung network disk does."""

    def __init__(self):
        super().__init__()
        self.release = threading.Event()

    def write(self, data):
        self.release.wait()
        return super().write(data)


def test_a_dying_disk_under_the_stream_is_reported_within_a_second(raw_camera, tmp_path):
    disk = _DiskThatDies(2 * 1024 * 1024)
    recorder = Recorder(tmp_path / "unused", raw_camera, output=disk, queue_frames=4)
    stream = FrameStream(raw_camera, [recorder], close_timeout_s=CLOSE_DEADLINE_S)
    reported_at = None
    deadline = time.monotonic() + CLOSE_DEADLINE_S
    try:
        while time.monotonic() < deadline:
            try:
                stream.raise_if_failed()
            except SinkFailed as failed:
                reported_at = time.monotonic()
                assert "Input/output error" in str(failed)
                break
            time.sleep(0.01)
    finally:
        began = time.monotonic()
        with pytest.raises(SinkFailed, match="recorder"):
            stream.close()
        closing_took = time.monotonic() - began
    assert disk.failed_at is not None and reported_at is not None
    assert reported_at - disk.failed_at < 1.0 * DEADLINE_SCALE
    assert closing_took < 1.0 * DEADLINE_SCALE
    # What the stream delivered was written, dropped by the recorder or by the stream for it.
    assert recorder.written > 0 and recorder.dropped + by_name(stream)["recorder"].dropped > 0


def test_a_dying_disk_is_raised_by_write_within_a_second(raw_camera, tmp_path):
    disk = _DiskThatDies(2 * 1024 * 1024)
    recorder = Recorder(tmp_path / "unused", raw_camera, output=disk, queue_frames=4)
    raised_at = None
    deadline = time.monotonic() + CLOSE_DEADLINE_S
    try:
        while time.monotonic() < deadline and raised_at is None:
            frame = raw_camera.requestFrame(FRAME_TIMEOUT_MS)
            try:
                recorder.write(frame)
            except RuntimeError as error:
                raised_at = time.monotonic()
                assert "Input/output error" in str(error)
            finally:
                raw_camera.releaseFrame(frame)
    finally:
        raised = _close_within_deadline(recorder)
    assert disk.failed_at is not None and raised_at is not None
    assert raised_at - disk.failed_at < 1.0 * DEADLINE_SCALE
    assert isinstance(raised, RuntimeError) and "Input/output error" in str(raised)


def by_name(stream):
    return {entry.name: entry for entry in stream.statistics()}


def test_a_stalled_disk_cannot_hold_up_set_control_or_close(raw_camera, tmp_path):
    disk = _DiskThatStalls()
    recorder = Recorder(tmp_path / "unused", raw_camera, output=disk, queue_frames=2,
                        close_timeout_s=0.5)
    try:
        frame = raw_camera.requestFrame(FRAME_TIMEOUT_MS)
        try:
            for _ in range(20):
                recorder.write(frame)
        finally:
            raw_camera.releaseFrame(frame)
        # The change goes into the writer's queue; the disk is not touched here.
        setter = threading.Thread(
            target=recorder.set_control, args=(qdc.TOFControl.EXPOSURE, 5), daemon=True)
        setter.start()
        setter.join(5.0 * DEADLINE_SCALE)
        assert not setter.is_alive(), "set_control waited for the disk"
        raised = _close_within_deadline(recorder)
        assert isinstance(raised, RuntimeError)
        assert "did not finish" in str(raised) or "disk took more than" in str(raised)
        assert recorder.dropped > 0
    finally:
        disk.release.set()
