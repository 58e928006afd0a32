"""Publishes a camera's frames on the Zenoh bus (keys in :mod:`quorvan.live.session`)."""

from __future__ import annotations

import threading
import time
from collections.abc import Sequence

import zenoh
import zenoh.ext as zext

from .. import closing, messages
from ..camera_like import CameraLike
from ..stream import CameraReader, FrameSnapshot, NewestFrameSlot
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

_PROBE_HANDSHAKE_MS = 1000


class PublisherNameTaken(RuntimeError):
    """Another publisher with the same name is already on the bus."""


def camera_intrinsics(camera: CameraLike, shape: tuple[int, ...]) -> messages.Intrinsics:
    """The camera's own intrinsics if it reports them, else the nominal pinhole."""
    get_intrinsics = getattr(camera, "getIntrinsics", None)
    if get_intrinsics is not None:
        try:
            reported = get_intrinsics()
            return messages.Intrinsics(
                int(reported.width),
                int(reported.height),
                float(reported.fx),
                float(reported.fy),
                float(reported.cx),
                float(reported.cy),
            )
        except (AttributeError, RuntimeError, TypeError):
            pass
    height, width = shape[-2], shape[-1]
    info = camera.getCameraInfo()
    if shape and int(info.height) and height > int(info.height):
        height = int(info.height)  # raw sub-frames are stacked; the picture is one of them
    return messages.nominal_intrinsics(width, height)


def _attachment(sequence: int, sent_ns: int, samples: int) -> zenoh.ZBytes:
    return zext.z_serialize((zext.UInt64(sequence), zext.Int64(sent_ns), zext.UInt8(samples)))


class Publisher:
    """Publishes every frame of ``camera`` under the key prefix ``name``.

    ``camera`` is opened and started by the caller (a ``QuorvanCamera`` or a
    playback camera). A reading thread takes frames from the camera and keeps
    only the newest; a sending thread encodes and puts it. A subscriber that
    is slow or gone never slows the camera: Zenoh drops on its congested link
    (congestion control ``DROP``), and frames the sending thread had no time
    for are counted in :attr:`frames_dropped`.

    With no endpoints the publisher listens on ``tcp/127.0.0.1:7447``.
    Raises :class:`PublisherNameTaken` when a publisher of the same name is
    reachable, ``RuntimeError`` when the endpoints cannot be used.
    """

    def __init__(
        self,
        camera: CameraLike,
        name: str,
        *,
        listen: Sequence[str] | None = None,
        connect: Sequence[str] | None = None,
    ) -> None:
        self.name = check_name(name)
        self._camera = camera
        listen_on = endpoints(listen, [DEFAULT_ENDPOINT] if not connect else [])
        try:
            self._session = open_session(listen_on, connect)
        except zenoh.ZError as error:
            self._refuse_if_name_taken(listen_on, connect)
            raise RuntimeError(f"cannot listen on {', '.join(listen_on)}: {error}") from None
        try:
            self._refuse_if_running(self._session)
            self._token = self._session.liveliness().declare_token(key(name, PUBLISHER_TOKEN_KEY))
            self._publishers = {
                leaf: self._session.declare_publisher(
                    key(name, leaf), congestion_control=zenoh.CongestionControl.DROP, express=True
                )
                for leaf in PLANE_KEYS + (CAMERA_INFO_KEY,)
            }
        except BaseException:
            self._session.close()  # type: ignore[no-untyped-call]
            raise
        self._intrinsics: messages.Intrinsics | None = None
        self._slot = NewestFrameSlot(capacity=4)
        self._reader = CameraReader(camera, self._slot.put)
        self._stopping = threading.Event()
        self.frames_sent = 0
        self.send_errors = 0
        self._sender = threading.Thread(
            target=self._send_loop, name="quorvan-publisher", daemon=True
        )
        self._reader.start()
        self._sender.start()
        self._exit_registration = closing.close_at_exit(self)

    def _refuse_if_running(self, session: zenoh.Session) -> None:
        token = key(self.name, PUBLISHER_TOKEN_KEY)
        for reply in session.liveliness().get(token, timeout=1.0):
            if reply.ok is not None:
                raise PublisherNameTaken(
                    f"a publisher named {self.name!r} is already running; "
                    "stop it or choose another name"
                )

    def _refuse_if_name_taken(
        self, listen_on: Sequence[str], connect: Sequence[str] | None
    ) -> None:
        # The endpoint is busy: if it is our own kind with this name, say so.
        # Whatever holds it may accept connections and never answer, so the
        # probe gives up on a handshake after a second.
        try:
            probe = open_session(
                [], list(listen_on) + list(connect or []), handshake_timeout_ms=_PROBE_HANDSHAKE_MS
            )
        except zenoh.ZError:
            return
        try:
            time.sleep(0.2)
            self._refuse_if_running(probe)
        finally:
            probe.close()  # type: ignore[no-untyped-call]

    @property
    def frames_read(self) -> int:
        """Frames taken from the camera."""
        return self._reader.frames_read

    @property
    def frames_dropped(self) -> int:
        """Frames read from the camera but replaced by a newer one before they were sent."""
        return self._slot.frames_dropped

    def _send_loop(self) -> None:
        while not self._stopping.is_set():
            snapshot = self._slot.take(0.1)
            if snapshot is None:
                continue
            try:
                self._send(snapshot)
                self.frames_sent += 1
            except (zenoh.ZError, ValueError):
                self.send_errors += 1

    def _send(self, snapshot: FrameSnapshot) -> None:
        planes = {
            "depth": None if snapshot.depth is None else messages.depth_to_metres(snapshot.depth),
            "amplitude": snapshot.amplitude,
            "confidence": snapshot.confidence,
            "raw": snapshot.raw,
        }
        present = {leaf: plane for leaf, plane in planes.items() if plane is not None}
        if self._intrinsics is None or (self._intrinsics.width != snapshot.shape[-1]):
            self._intrinsics = camera_intrinsics(self._camera, snapshot.shape)
        payloads = [
            (leaf, messages.encode_image(plane, snapshot.timestamp))
            for leaf, plane in present.items()
        ]
        payloads.append(
            (CAMERA_INFO_KEY, messages.encode_camera_info(self._intrinsics, snapshot.timestamp))
        )
        attachment = _attachment(snapshot.sequence, time.time_ns(), len(payloads))
        for leaf, payload in payloads:
            self._publishers[leaf].put(payload, attachment=attachment)

    def close(self) -> None:
        """Stops reading the camera (which stays started) and leaves the bus."""
        if self._stopping.is_set():
            return
        closing.forget(self._exit_registration)
        self._reader.stop()
        self._stopping.set()
        self._slot.close()
        self._sender.join()
        self._token.undeclare()  # type: ignore[no-untyped-call]
        self._session.close()  # type: ignore[no-untyped-call]

    def __enter__(self) -> Publisher:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


__all__ = [
    "Publisher",
    "PublisherNameTaken",
    "camera_intrinsics",
]
