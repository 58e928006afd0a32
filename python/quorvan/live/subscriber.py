"""Receives a camera's frames from the Zenoh bus and turns them back into NumPy arrays."""

from __future__ import annotations

import collections
import logging
import threading
import time
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Optional, cast

import numpy as np
import numpy.typing as npt
import zenoh
import zenoh.ext as zext

from .. import closing, messages
from .session import (
    CAMERA_INFO_KEY,
    DEFAULT_ENDPOINT,
    PLANE_KEYS,
    PUBLISHER_TOKEN_KEY,
    check_name,
    endpoints,
    key,
    open_session,
)

_log = logging.getLogger(__name__)

Plane = Optional[npt.NDArray[Any]]
_Attachment = tuple[zext.UInt64, zext.Int64, zext.UInt8]
# A parameterised tuple is a type to zenoh's deserializer; mypy needs telling so.
_ATTACHMENT_TYPE = cast("type[_Attachment]", tuple[zext.UInt64, zext.Int64, zext.UInt8])
# Any peer can put samples under our keys, so what waits for the rest of its
# frame is bounded: a few frames, and no more bytes than a few of the largest
# real frames (a 640x480 raw capture is about 6 MB). Beyond either bound the
# oldest incomplete frame is dropped.
MAX_PENDING_FRAMES = 8
MAX_PENDING_BYTES = 64 * 1024 * 1024
_PARTS_PER_FRAME = len(PLANE_KEYS) + 1


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
    camera_info: messages.Intrinsics | None
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
    payloads: dict[str, bytes]
    received_ns: int = 0


class Subscriber:
    """Receives the frames the publisher named ``name`` puts on the bus.

    With no endpoints it connects to ``tcp/127.0.0.1:7447``. Complete frames
    wait in a queue of ``queue_frames``; when the application does not read
    them in time the oldest are dropped and counted in
    :attr:`frames_dropped`, so a paused reader never holds back the
    publisher or other subscribers. Frames with a missing part (Zenoh dropped
    one on a congested link, or a peer sent parts that never complete) are
    counted in :attr:`frames_incomplete`; samples that are not a frame's part
    and frames whose messages do not decode are dropped and counted in
    :attr:`frames_malformed`, and receiving goes on.
    """

    def __init__(
        self,
        name: str,
        *,
        connect: Sequence[str] | None = None,
        listen: Sequence[str] | None = None,
        queue_frames: int = 8,
    ) -> None:
        self.name = check_name(name)
        self._condition = threading.Condition()  # guards the queue, the pending frames, counters
        self._complete: collections.deque[tuple[int, _PendingFrame]] = collections.deque()
        # Insertion order is arrival order: the first entry is the oldest.
        self._pending: dict[int, _PendingFrame] = {}
        self._pending_bytes = 0
        self._queue_frames = max(1, int(queue_frames))
        self.frames_received = 0
        self.frames_dropped = 0
        self.frames_incomplete = 0
        self.frames_malformed = 0
        self._closed = False
        self.endpoints = endpoints(connect, [DEFAULT_ENDPOINT] if not listen else [])
        try:
            self._session = open_session(listen, self.endpoints)
        except zenoh.ZError as error:
            raise RuntimeError(f"cannot join the bus: {error}") from None
        # Samples wait in a ring that drops the oldest, taken off by a daemon
        # thread of ours. A Python callback would run on a thread Zenoh starts,
        # which is not a daemon and keeps the interpreter from ever exiting
        # while the subscriber is open.
        self._subscriber = self._session.declare_subscriber(
            key(name, "*"), zenoh.handlers.RingChannel(max(64, 8 * self._queue_frames))
        )
        self._pump = threading.Thread(
            target=self._pump_samples,
            args=(self._subscriber.handler,),
            name="quorvan-subscriber",
            daemon=True,
        )
        self._pump.start()
        self._exit_registration = closing.close_at_exit(self)

    def _pump_samples(self, samples: Any) -> None:
        while True:
            try:
                sample = samples.recv()
            except zenoh.ZError:
                return  # undeclared: the subscriber is closing
            self._on_sample(sample)

    def _on_sample(self, sample: zenoh.Sample) -> None:
        # Whatever a peer sends, nothing may escape and end the pump.
        try:
            self._take_sample(sample)
        except Exception as error:  # noqa: BLE001
            self._count_malformed(f"{type(error).__name__}: {error}")

    def _take_sample(self, sample: zenoh.Sample) -> None:
        leaf = str(sample.key_expr).rsplit("/", 1)[-1]
        if leaf not in PLANE_KEYS and leaf != CAMERA_INFO_KEY or sample.attachment is None:
            return
        try:
            fields = zext.z_deserialize(_ATTACHMENT_TYPE, sample.attachment)
        except (zext.ZDeserializeError, ValueError, TypeError):
            self._count_malformed("an attachment that is not (sequence, time, parts)")
            return
        sequence, sent_ns, expected = (int(field) for field in fields)
        if not 1 <= expected <= _PARTS_PER_FRAME:
            self._count_malformed(f"a frame of {expected} parts")
            return
        payload = sample.payload.to_bytes()
        if len(payload) > MAX_PENDING_BYTES:
            self._count_malformed(f"a sample of {len(payload)} bytes")
            return
        with self._condition:
            pending = self._pending.get(sequence)
            if pending is None:
                pending = self._pending[sequence] = _PendingFrame(expected, sent_ns, {})
            self._pending_bytes += len(payload) - len(pending.payloads.get(leaf, b""))
            pending.payloads[leaf] = payload
            if len(pending.payloads) < pending.expected:
                self._bound_pending()
                return
            pending.received_ns = time.time_ns()
            self._forget_pending(sequence)
            # Parts of older frames will not come any more.
            for stale in [number for number in self._pending if number < sequence]:
                self._forget_pending(stale)
                self.frames_incomplete += 1
            if len(self._complete) >= self._queue_frames:
                self._complete.popleft()
                self.frames_dropped += 1
            self._complete.append((sequence, pending))
            self.frames_received += 1
            self._condition.notify_all()

    def _forget_pending(self, sequence: int) -> None:
        pending = self._pending.pop(sequence)
        self._pending_bytes -= sum(len(payload) for payload in pending.payloads.values())

    def _bound_pending(self) -> None:
        while self._pending and (
            len(self._pending) > MAX_PENDING_FRAMES or self._pending_bytes > MAX_PENDING_BYTES
        ):
            self._forget_pending(next(iter(self._pending)))
            self.frames_incomplete += 1

    def _count_malformed(self, what: str) -> None:
        with self._condition:
            self.frames_malformed += 1
            first = self.frames_malformed == 1
        # One warning says that a peer sends nonsense; the count says how much.
        (_log.warning if first else _log.debug)(
            "dropped a malformed sample under %r (%s); frames_malformed counts them",
            self.name,
            what,
        )

    def publisher_reachable(self, timeout_s: float = 1.0) -> bool:
        """Whether a publisher of this name answers on the bus within ``timeout_s``."""
        token = key(self.name, PUBLISHER_TOKEN_KEY)
        return any(
            reply.ok is not None
            for reply in self._session.liveliness().get(token, timeout=timeout_s)
        )

    def receive(self, timeout_ms: int) -> LiveFrame | None:
        """The oldest frame not yet received, waiting up to ``timeout_ms`` (negative: no limit).

        A frame whose messages do not decode is dropped and counted in
        :attr:`frames_malformed`; the wait goes on for the next one."""
        deadline = None if timeout_ms < 0 else time.monotonic() + timeout_ms / 1000.0
        while True:
            with self._condition:
                while not self._complete:
                    remaining = None if deadline is None else deadline - time.monotonic()
                    if remaining is not None and remaining <= 0:
                        return None
                    self._condition.wait(remaining)
                sequence, pending = self._complete.popleft()
            try:
                return _decode(sequence, pending)
            except ValueError as error:
                self._count_malformed(str(error))

    def close(self) -> None:
        """Leaves the bus; closing again does nothing."""
        if self._closed:
            return
        self._closed = True
        closing.forget(self._exit_registration)
        self._subscriber.undeclare()  # type: ignore[no-untyped-call]
        self._pump.join()
        self._session.close()  # type: ignore[no-untyped-call]

    def __enter__(self) -> Subscriber:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _decode(sequence: int, pending: _PendingFrame) -> LiveFrame:
    planes: dict[str, Plane] = {}
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
    return LiveFrame(
        sequence,
        timestamp,
        planes["depth"],
        planes["amplitude"],
        planes["confidence"],
        planes["raw"],
        camera_info,
        pending.sent_ns,
        pending.received_ns,
    )


__all__ = [
    "LiveFrame",
    "MAX_PENDING_BYTES",
    "MAX_PENDING_FRAMES",
    "Subscriber",
]
