"""Receives a camera's frames from the Zenoh bus and turns them back into NumPy arrays."""

from __future__ import annotations

import collections
import threading
import time
from dataclasses import dataclass
from typing import Any, Deque, Dict, Optional, Sequence

import numpy as np
import numpy.typing as npt
import zenoh
import zenoh.ext as zext

from .. import messages
from .session import CAMERA_INFO_KEY, DEFAULT_ENDPOINT, PLANE_KEYS, check_name, endpoints, key, \
    open_session

Plane = Optional[npt.NDArray[Any]]
_ATTACHMENT_TYPE = tuple[zext.UInt64, zext.Int64, zext.UInt8]


@dataclass(frozen=True)
class LiveFrame:
    """One frame received from the bus.

    ``depth`` is in millimetres, like the camera's own frames (the bus
    carries metres); ``raw`` is the camera's stacked int16 plane. Planes the
    publisher's camera does not deliver are ``None``. ``timestamp`` is the
    camera's frame timestamp in milliseconds, ``sequence`` the publisher's
    frame number, ``sent_ns`` and ``received_ns`` wall-clock nanoseconds.
    """

    sequence: int
    timestamp: int
    depth: Plane
    amplitude: Plane
    confidence: Plane
    raw: Plane
    camera_info: Optional[messages.Intrinsics]
    sent_ns: int
    received_ns: int

    @property
    def latency_ms(self) -> float:
        """Send to arrival, meaningful when both ends share one clock."""
        return (self.received_ns - self.sent_ns) / 1e6


@dataclass
class _PendingFrame:
    expected: int
    sent_ns: int
    payloads: Dict[str, bytes]
    received_ns: int = 0


class Subscriber:
    """Receives the frames the publisher named ``name`` puts on the bus.

    With no endpoints it connects to ``tcp/127.0.0.1:7447``. Complete frames
    wait in a queue of ``queue_frames``; when the application does not read
    them in time the oldest are dropped and counted in
    :attr:`frames_dropped`, so a paused reader never holds back the
    publisher or other subscribers. Frames with a missing part (Zenoh dropped
    one on a congested link) are counted in :attr:`frames_incomplete`.
    """

    def __init__(self, name: str, *, connect: Optional[Sequence[str]] = None,
                 listen: Optional[Sequence[str]] = None, queue_frames: int = 8) -> None:
        self.name = check_name(name)
        self._condition = threading.Condition()  # guards the queue, the pending frames, counters
        self._complete: Deque[tuple[int, _PendingFrame]] = collections.deque()
        self._pending: Dict[int, _PendingFrame] = {}
        self._queue_frames = max(1, int(queue_frames))
        self.frames_received = 0
        self.frames_dropped = 0
        self.frames_incomplete = 0
        try:
            self._session = open_session(
                listen, endpoints(connect, [DEFAULT_ENDPOINT] if not listen else []))
        except zenoh.ZError as error:
            raise RuntimeError(f"cannot join the bus: {error}") from None
        self._subscriber = self._session.declare_subscriber(key(name, "*"), self._on_sample)

    def _on_sample(self, sample: "zenoh.Sample") -> None:
        leaf = str(sample.key_expr).rsplit("/", 1)[-1]
        if leaf not in PLANE_KEYS and leaf != CAMERA_INFO_KEY or sample.attachment is None:
            return
        try:
            sequence, sent_ns, expected = zext.z_deserialize(_ATTACHMENT_TYPE, sample.attachment)
        except zext.ZDeserializeError:
            return
        payload = sample.payload.to_bytes()
        with self._condition:
            pending = self._pending.get(sequence)
            if pending is None:
                pending = self._pending[sequence] = _PendingFrame(expected, sent_ns, {})
            pending.payloads[leaf] = payload
            if len(pending.payloads) < pending.expected:
                return
            pending.received_ns = time.time_ns()
            del self._pending[sequence]
            # Parts of older frames will not come any more.
            for stale in [number for number in self._pending if number < sequence]:
                del self._pending[stale]
                self.frames_incomplete += 1
            if len(self._complete) >= self._queue_frames:
                self._complete.popleft()
                self.frames_dropped += 1
            self._complete.append((sequence, pending))
            self.frames_received += 1
            self._condition.notify_all()

    def receive(self, timeout_ms: int) -> Optional[LiveFrame]:
        """The oldest frame not yet received, waiting up to ``timeout_ms`` (negative: no limit)."""
        deadline = None if timeout_ms < 0 else time.monotonic() + timeout_ms / 1000.0
        with self._condition:
            while not self._complete:
                remaining = None if deadline is None else deadline - time.monotonic()
                if remaining is not None and remaining <= 0:
                    return None
                self._condition.wait(remaining)
            sequence, pending = self._complete.popleft()
        return _decode(sequence, pending)

    def close(self) -> None:
        self._subscriber.undeclare()
        self._session.close()

    def __enter__(self) -> "Subscriber":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _decode(sequence: int, pending: _PendingFrame) -> LiveFrame:
    planes: Dict[str, Plane] = {}
    timestamp = 0
    for leaf in PLANE_KEYS:
        data = pending.payloads.get(leaf)
        if data is None:
            planes[leaf] = None
            continue
        image = messages.decode_image(data)
        timestamp = messages.stamp_ns_to_ms(image.stamp_ns)
        planes[leaf] = np.array(image.pixels)  # writable and independent of the message
    if planes["depth"] is not None:
        planes["depth"] = np.multiply(planes["depth"], np.float32(1000.0), dtype=np.float32)
    info_data = pending.payloads.get(CAMERA_INFO_KEY)
    camera_info = None if info_data is None else messages.decode_camera_info(info_data).intrinsics
    return LiveFrame(sequence, timestamp, planes["depth"], planes["amplitude"],
                     planes["confidence"], planes["raw"], camera_info, pending.sent_ns,
                     pending.received_ns)
