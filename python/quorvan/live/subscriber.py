"""Receives a camera's frames from the Zenoh bus and turns them back into NumPy arrays."""

from __future__ import annotations

import collections
import logging
import threading
import time
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np
import numpy.typing as npt
import zenoh

from .. import closing, conventions, messages, ros_depth
from . import rmw_zenoh
from .session import (
    DEFAULT_ENDPOINT,
    FRAME_RECORD,
    endpoints,
    frame_key,
    open_session,
)

_log = logging.getLogger(__name__)

Plane = Optional[npt.NDArray[Any]]
# Any peer can put samples under our keys, so what waits for the rest of its
# frame is bounded: a few frames, and no more bytes than a few of the largest
# real frames (a 640x480 raw capture is about 6 MB). Beyond either bound the
# oldest incomplete frame is dropped.
MAX_PENDING_FRAMES = 8
MAX_PENDING_BYTES = 64 * 1024 * 1024
_PLANES = (
    conventions.PLANE_DEPTH,
    conventions.PLANE_AMPLITUDE,
    conventions.PLANE_CONFIDENCE,
    conventions.PLANE_RAW,
)
_PARTS_PER_FRAME = len(_PLANES) + 1
_FRAME = "frame"


@dataclass(frozen=True)
class LiveFrame:
    """One frame received from the bus.

    ``depth`` is in millimetres along each pixel's ray, like the camera's own
    frames (0 where invalid); the bus carries ROS's Z depth, which the
    subscriber turns back with the frame's camera info. ``raw`` is the
    camera's stacked int16 plane. Planes the publisher's camera does not
    deliver are ``None``. ``timestamp`` is the camera's own frame timestamp in
    milliseconds, ``stamp_ns`` the messages' ``header.stamp`` (host real time
    at capture, nanoseconds since the epoch), ``sequence`` the publisher's
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
    stamp_ns: int = 0

    @property
    def latency_ms(self) -> float:
        """Send to arrival, meaningful when both ends share one clock."""
        return (self.received_ns - self.sent_ns) / 1e6


@dataclass
class _PendingFrame:
    expected: int  # 0 until the frame's record tells
    sent_ns: int
    payloads: dict[str, bytes]
    received_ns: int = 0

    def complete(self) -> bool:
        # The frame's record is one of the payloads, and says how many others come.
        return self.expected > 0 and len(self.payloads) == self.expected + 1


class Subscriber:
    """Receives the frames of the camera published under the namespace ``name``.

    It reads the same topics a ROS 2 node would (on domain ``domain_id``,
    default ``ROS_DOMAIN_ID`` or 0), plus the publisher's per-frame record
    that holds the camera's own timestamp and tells when a frame is whole.
    With no endpoints it connects to ``tcp/127.0.0.1:7447`` (the publisher,
    or the Zenoh router both joined). Complete frames wait in a queue of
    ``queue_frames``; when the application does not read them in time the
    oldest are dropped and counted in :attr:`frames_dropped`, so a paused
    reader never holds back the publisher or other subscribers. Frames with a
    missing part (Zenoh dropped one on a congested link, or a peer sent parts
    that never complete) and frames the publisher sent that never arrived at
    all are counted in :attr:`frames_incomplete`; samples
    that are not a frame's part and frames whose messages do not decode are
    dropped and counted in :attr:`frames_malformed`, and receiving goes on.
    """

    def __init__(
        self,
        name: str = conventions.DEFAULT_NAMESPACE,
        *,
        connect: Sequence[str] | None = None,
        listen: Sequence[str] | None = None,
        queue_frames: int = 8,
        node_name: str = conventions.DEFAULT_NODE_NAME,
        domain_id: int | None = None,
    ) -> None:
        self.topics = conventions.CameraTopics.for_namespace(name)
        self.name = self.topics.namespace
        self.node_name = node_name
        self.domain_id = rmw_zenoh.domain_id_from_environment() if domain_id is None else domain_id
        # Which plane each key carries, the frame record's key included.
        self._planes_by_key = {
            rmw_zenoh.topic_key(
                self.domain_id, self.topics.for_plane(plane), rmw_zenoh.IMAGE
            ): plane
            for plane in _PLANES
        }
        self._planes_by_key[
            rmw_zenoh.topic_key(
                self.domain_id, self.topics.depth_camera_info, rmw_zenoh.CAMERA_INFO
            )
        ] = conventions.PLANE_CAMERA_INFO
        self._planes_by_key[frame_key(self.domain_id, self.name)] = _FRAME
        self._condition = threading.Condition()  # guards the queue, the pending frames, counters
        self._complete: collections.deque[tuple[int, _PendingFrame]] = collections.deque()
        # Insertion order is arrival order: the first entry is the oldest.
        self._pending: dict[int, _PendingFrame] = {}
        self._pending_bytes = 0
        self._last_record_index: int | None = None
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
        # Only the keys this subscriber reads: the images of its planes (one
        # wildcard covers them, not the longer keys of the compressed depth
        # or the points), the camera info and the frame record.
        images = rmw_zenoh.topic_key(self.domain_id, f"{self.name}/*/image_raw", rmw_zenoh.IMAGE)
        keys = [
            images,
            rmw_zenoh.topic_key(
                self.domain_id, self.topics.depth_camera_info, rmw_zenoh.CAMERA_INFO
            ),
            frame_key(self.domain_id, self.name),
        ]
        ring = max(64, 8 * self._queue_frames)
        self._subscribers = [
            self._session.declare_subscriber(key, zenoh.handlers.RingChannel(ring)) for key in keys
        ]
        self._pumps = [
            threading.Thread(
                target=self._pump_samples,
                args=(subscriber.handler,),
                name="quorvan-subscriber",
                daemon=True,
            )
            for subscriber in self._subscribers
        ]
        for pump in self._pumps:
            pump.start()
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
        plane = self._planes_by_key.get(str(sample.key_expr))
        if plane is None:
            return  # a topic for ROS tools only (compressed depth, points)
        payload = sample.payload.to_bytes()
        if len(payload) > MAX_PENDING_BYTES:
            self._count_malformed(f"a sample of {len(payload)} bytes")
            return
        expected = 0
        sent_ns = 0
        record_index = 0
        if plane == _FRAME:
            if len(payload) != FRAME_RECORD.size:
                self._count_malformed(f"a frame record of {len(payload)} bytes")
                return
            sequence, _, _, expected, record_index = FRAME_RECORD.unpack(payload)
            if not 1 <= expected <= _PARTS_PER_FRAME:
                self._count_malformed(f"a frame of {expected} parts")
                return
        else:
            if sample.attachment is None:
                self._count_malformed("a sample without an attachment")
                return
            try:
                attachment = rmw_zenoh.Attachment.from_bytes(sample.attachment.to_bytes())
            except ValueError as error:
                self._count_malformed(str(error))
                return
            sequence, sent_ns = attachment.sequence, attachment.source_timestamp_ns
        with self._condition:
            if record_index:
                self._count_frames_lost_whole(record_index)
            pending = self._pending.get(sequence)
            if pending is None:
                pending = self._pending[sequence] = _PendingFrame(0, sent_ns, {})
            if expected:
                pending.expected = expected
            pending.sent_ns = max(pending.sent_ns, sent_ns)
            self._pending_bytes += len(payload) - len(pending.payloads.get(plane, b""))
            pending.payloads[plane] = payload
            if not pending.complete():
                self._bound_pending()
                return
            pending.received_ns = time.time_ns()
            self._forget_pending(sequence)
            # Parts of older frames will not come any more.
            for stale in [number for number in self._pending if number < sequence]:
                self._forget_incomplete(stale)
            if len(self._complete) >= self._queue_frames:
                self._complete.popleft()
                self.frames_dropped += 1
            self._complete.append((sequence, pending))
            self.frames_received += 1
            self._condition.notify_all()

    def _count_frames_lost_whole(self, record_index: int) -> None:
        # The publisher numbers the frames it sends; frames between two records
        # never reached us, not even their record. A smaller number is a
        # publisher started again.
        last = self._last_record_index
        if last is not None and record_index > last + 1:
            self.frames_incomplete += record_index - last - 1
        self._last_record_index = record_index

    def _forget_incomplete(self, sequence: int) -> None:
        pending = self._pending[sequence]
        self._forget_pending(sequence)
        # A frame whose record never came is counted by the gap in the records.
        if pending.expected:
            self.frames_incomplete += 1

    def _forget_pending(self, sequence: int) -> None:
        pending = self._pending.pop(sequence)
        self._pending_bytes -= sum(len(payload) for payload in pending.payloads.values())

    def _bound_pending(self) -> None:
        while self._pending and (
            len(self._pending) > MAX_PENDING_FRAMES or self._pending_bytes > MAX_PENDING_BYTES
        ):
            self._forget_incomplete(next(iter(self._pending)))

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
        """Whether the camera node of this namespace answers on the bus within ``timeout_s``."""
        pattern = rmw_zenoh.node_token_pattern(self.domain_id, self.name, self.node_name)
        return any(
            reply.ok is not None
            for reply in self._session.liveliness().get(pattern, timeout=timeout_s)
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
        for subscriber in self._subscribers:
            subscriber.undeclare()  # type: ignore[no-untyped-call]
        for pump in self._pumps:
            pump.join()
        self._session.close()  # type: ignore[no-untyped-call]

    def __enter__(self) -> Subscriber:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _decode(sequence: int, pending: _PendingFrame) -> LiveFrame:
    _, timestamp, _, _, _ = FRAME_RECORD.unpack(pending.payloads[_FRAME])
    info_data = pending.payloads.get(conventions.PLANE_CAMERA_INFO)
    camera_info = None if info_data is None else messages.decode_camera_info(info_data).intrinsics
    planes: dict[str, Plane] = {}
    stamp_ns = 0
    for plane in _PLANES:
        data = pending.payloads.get(plane)
        if data is None:
            planes[plane] = None
            continue
        if plane == conventions.PLANE_DEPTH:
            depth, stamp_ns = _radial_depth(data, camera_info)
            planes[plane] = depth
            continue
        image = messages.decode_image(data)
        stamp_ns = image.stamp_ns
        planes[plane] = np.array(image.pixels)  # writable and independent of the message
    return LiveFrame(
        sequence,
        timestamp,
        planes[conventions.PLANE_DEPTH],
        planes[conventions.PLANE_AMPLITUDE],
        planes[conventions.PLANE_CONFIDENCE],
        planes[conventions.PLANE_RAW],
        camera_info,
        pending.sent_ns,
        pending.received_ns,
        stamp_ns,
    )


def _radial_depth(
    data: bytes, camera_info: messages.Intrinsics | None
) -> tuple[npt.NDArray[np.float32], int]:
    """The camera's millimetres along the ray from a Z depth image (32FC1 or 16UC1)."""
    if camera_info is None:
        raise ValueError("a depth image without the camera info to turn it back")
    image = messages.decode_image(data)
    pixels = image.pixels
    if pixels.shape != (camera_info.height, camera_info.width):
        raise ValueError("a depth image whose size is not its camera info's")
    return ros_depth.radial_depth_from_ros(pixels, camera_info, image.encoding), image.stamp_ns
