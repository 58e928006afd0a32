"""The recorder under a failing disk and bad arguments: it never hangs and never
destroys a file it was not allowed to write."""

import errno
import io
import threading

import pytest

from conftest import FRAME_TIMEOUT_MS
from quorvan.record import Recorder

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
    try:
        # Far more frames than the disk and the queue hold: once the writer
        # has failed, write() has to say so.
        for _ in range(2000):
            try:
                recorder.write(frame)
            except RuntimeError as error:
                refused = error
                break
    finally:
        raw_camera.releaseFrame(frame)
        raised = _close_within_deadline(recorder)
    assert refused is not None and "No space left" in str(refused)
    assert isinstance(raised, RuntimeError) and "No space left" in str(raised)
    assert recorder.written < 2000 and recorder.dropped > 0


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
