"""Reads a camera on a thread of its own and hands on only the newest frame.

Everything that serves frames to others (the bus publisher, the Foxglove
server, the viewer) puts this between the camera and its consumer, so that a
consumer that falls behind never slows the camera: the reading thread copies
each frame's planes, gives the frame straight back and overwrites the slot.

Drop policy of :class:`NewestFrameSlot`: the newest ``capacity`` frames are
kept (one for a viewer, a few for a publisher so that a scheduling hiccup of
the sending thread costs nothing); a frame put into a full slot pushes out the
oldest, which counts as dropped. Stop
semantics: :meth:`CameraReader.stop` joins the reading thread within one
poll interval; frames still in the slot stay there.
"""

from __future__ import annotations

import collections
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable, Optional

import numpy as np
import numpy.typing as npt

from ..camera_like import FrameSource

Plane = Optional[npt.NDArray[Any]]


@dataclass(frozen=True)
class FrameSnapshot:
    """The planes of one camera frame, copied out of the camera's buffer.

    ``depth`` is in millimetres as the camera delivers it; planes the frame
    does not carry are ``None``. ``timestamp`` is the camera's frame timestamp
    in milliseconds; ``read_ns`` is the host's wall clock when it was read.
    ``capture_ns`` is the host's real time at capture, what ``header.stamp``
    of every output carries: the frame's own host timestamp where the camera
    gives one (``getHostRealtimeNs``: the camera's drift-corrected mapping of
    its device clock), else the time it was read.
    """

    sequence: int
    timestamp: int
    read_ns: int
    depth: Plane = None
    amplitude: Plane = None
    confidence: Plane = None
    raw: Plane = None
    capture_ns: int = 0

    def __post_init__(self) -> None:
        if not self.capture_ns:
            object.__setattr__(self, "capture_ns", self.read_ns)

    @property
    def shape(self) -> tuple[int, ...]:
        for plane in (self.depth, self.raw, self.amplitude, self.confidence):
            if plane is not None:
                return tuple(plane.shape)
        return ()


class NewestFrameSlot:
    """A mailbox of the newest ``capacity`` frames between a producer that must never
    wait and one consumer; the oldest untaken frame gives way and counts as dropped."""

    def __init__(self, capacity: int = 1) -> None:
        self._condition = threading.Condition()  # guards _frames, _newest and the counters
        self._frames: collections.deque[FrameSnapshot] = collections.deque()
        self._capacity = max(1, capacity)
        self._newest: FrameSnapshot | None = None
        self._closed = False
        self.frames_put = 0
        self.frames_dropped = 0

    def put(self, frame: FrameSnapshot) -> None:
        with self._condition:
            if len(self._frames) >= self._capacity:
                self._frames.popleft()
                self.frames_dropped += 1
            self._frames.append(frame)
            self._newest = frame
            self.frames_put += 1
            self._condition.notify_all()

    def take(self, timeout_s: float) -> FrameSnapshot | None:
        """The oldest frame not yet taken, waiting up to ``timeout_s``; None on timeout or close."""
        deadline = time.monotonic() + timeout_s
        with self._condition:
            while not self._frames and not self._closed:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return None
                self._condition.wait(remaining)
            return self._frames.popleft() if self._frames else None

    def peek(self) -> FrameSnapshot | None:
        """The newest frame, taken or not."""
        with self._condition:
            return self._newest

    def close(self) -> None:
        with self._condition:
            self._closed = True
            self._condition.notify_all()


def _frame_sequence(frame: Any, fallback: int) -> int:
    # Frames that number themselves keep their number across processes;
    # otherwise the reader counts the frames it has read.
    get_sequence = getattr(frame, "getSequence", None)
    if get_sequence is not None:
        try:
            return int(get_sequence())
        except (RuntimeError, TypeError, ValueError):
            pass
    return fallback


def _host_realtime_ns(frame: Any) -> int:
    # The camera's host-clock estimate of the capture (drift corrected, late
    # deliveries rejected); 0 from frames that carry none.
    get_realtime = getattr(frame, "getHostRealtimeNs", None)
    if get_realtime is None:
        return 0
    try:
        return max(0, int(get_realtime()))
    except (RuntimeError, TypeError, ValueError):
        return 0


def snapshot_frame(frame: Any, sequence: int) -> FrameSnapshot:
    """Copies the planes of a camera frame (``DepthData`` or ``RawData``, live or replayed)."""
    timestamp = int(frame.getFrameFormat().timestamp)
    read_ns = time.time_ns()
    capture_ns = _host_realtime_ns(frame) or read_ns
    if hasattr(frame, "getDepthData"):
        return FrameSnapshot(
            sequence,
            timestamp,
            read_ns,
            depth=np.asarray(frame.getDepthData(), dtype=np.float32),
            amplitude=np.asarray(frame.getAmplitudeData(), dtype=np.float32),
            confidence=np.asarray(frame.getConfidenceData(), dtype=np.float32),
            capture_ns=capture_ns,
        )
    return FrameSnapshot(
        sequence,
        timestamp,
        read_ns,
        raw=np.asarray(frame.getRawData(), dtype=np.int16),
        capture_ns=capture_ns,
    )


class CameraReader:
    """Requests frames from ``camera`` on a background thread and passes each to ``deliver``.

    ``camera`` is anything with the camera's ``requestFrame(timeout)`` and
    ``releaseFrame(frame)`` (a live ``QuorvanCamera`` or a playback camera),
    opened and started by the caller. The reader survives the camera being
    stopped and started again under it: it keeps asking and resumes with the
    next frame.
    """

    def __init__(
        self,
        camera: FrameSource,
        deliver: Callable[[FrameSnapshot], None],
        poll_interval_s: float = 0.0005,
        wait_ms: int = 50,
    ) -> None:
        self._camera = camera
        self._deliver = deliver
        self._poll_interval_s = poll_interval_s
        self._wait_ms = wait_ms
        self._stopping = threading.Event()
        self._thread: threading.Thread | None = None
        self._counter = 0
        self.frames_read = 0
        self.read_errors = 0

    def start(self) -> None:
        if self._thread is not None:
            return
        self._stopping.clear()
        self._thread = threading.Thread(target=self._run, name="quorvan-camera-reader", daemon=True)
        self._thread.start()

    def stop(self) -> None:
        self._stopping.set()
        if self._thread is not None:
            self._thread.join()
            self._thread = None

    def _run(self) -> None:
        while not self._stopping.is_set():
            # requestFrame waits without the interpreter lock, so the frame is
            # taken the moment it is ready while the sending threads run. The
            # wait is short so that stop() is answered promptly; a stopped
            # camera answers at once, hence the pause before asking again.
            try:
                frame = self._camera.requestFrame(self._wait_ms)
            except RuntimeError:
                frame = None
                self.read_errors += 1
            if frame is None:
                self._stopping.wait(self._poll_interval_s)
                continue
            try:
                self._counter += 1
                snapshot = snapshot_frame(frame, _frame_sequence(frame, self._counter))
            except RuntimeError:
                # The camera was restarted between request and read: the
                # handle is gone, the next frame will do.
                self.read_errors += 1
                continue
            finally:
                try:
                    self._camera.releaseFrame(frame)
                except RuntimeError:
                    pass
            self.frames_read += 1
            self._deliver(snapshot)


__all__ = [
    "CameraReader",
    "FrameSnapshot",
    "NewestFrameSlot",
    "snapshot_frame",
]
