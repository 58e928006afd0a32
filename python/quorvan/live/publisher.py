"""Publishes a camera's frames on the Zenoh bus as a ROS 2 node (keys in :mod:`.session`)."""

from __future__ import annotations

import threading
import time
from collections.abc import Sequence

import zenoh

from .. import closing, conventions, messages, ros_depth
from ..camera_like import CameraLike
from ..stream import FrameSnapshot, FrameStream
from . import rmw_zenoh
from .ros_frame import EncodedMessage, RosFrameEncoder
from .session import (
    FRAME_RECORD,
    PublisherEndpoints,
    default_publisher_endpoints,
    frame_key,
    open_session,
    port_held_message,
    zenoh_answers,
)

DEFAULT_NODE_NAME = conventions.DEFAULT_NODE_NAME
_NAME_QUERY_S = 1.0
# The newest few frames wait for the sending thread; older ones give way.
_SEND_QUEUE_FRAMES = 4
# The planes this package's Subscriber puts back together; the others (the
# compressed depth, the point cloud) are for ROS tools.
_SUBSCRIBER_PLANES = frozenset(
    {
        conventions.PLANE_DEPTH,
        conventions.PLANE_AMPLITUDE,
        conventions.PLANE_CONFIDENCE,
        conventions.PLANE_RAW,
        conventions.PLANE_CAMERA_INFO,
    }
)


class PublisherNameTaken(RuntimeError):
    """A camera node of the same namespace and name is already on the bus."""


def camera_intrinsics(camera: CameraLike, shape: tuple[int, ...]) -> messages.Intrinsics:
    """The camera's own intrinsics if it reports them, else the nominal pinhole."""
    return conventions.camera_intrinsics(camera, shape)


class _TopicPublisher:
    """One ROS topic: its Zenoh publisher, its liveliness token and its GID."""

    def __init__(self, session: zenoh.Session, key: str, token: str) -> None:
        self.gid = rmw_zenoh.entity_gid(token)
        self.publisher = session.declare_publisher(
            key, congestion_control=zenoh.CongestionControl.DROP, express=True
        )
        self.token = session.liveliness().declare_token(token)

    def put(self, payload: bytes, sequence: int) -> None:
        attachment = rmw_zenoh.Attachment(sequence, time.time_ns(), self.gid)
        self.publisher.put(payload, attachment=attachment.to_bytes())

    def undeclare(self) -> None:
        self.token.undeclare()  # type: ignore[no-untyped-call]
        self.publisher.undeclare()  # type: ignore[no-untyped-call]


class Publisher:
    """Publishes the frames of ``camera`` as the ROS 2 node ``<namespace>/<node_name>``.

    ``name`` is the camera's ROS namespace (``"cam0"`` or ``"/cam0"``; a
    ``ValueError`` for anything ROS 2 would refuse). Topics, types and QoS
    follow ROS's conventions (:mod:`quorvan.live.ros_frame`); a ROS 2 node
    over rmw_zenoh (Jazzy or newer) on domain ``domain_id`` (default
    ``ROS_DOMAIN_ID``, else 0) sees and reads them, and so does
    :class:`~quorvan.live.Subscriber`.

    ``camera`` is opened and started by the caller (a ``QuorvanCamera`` or a
    playback camera); a stream core of the publisher's own
    (:class:`~quorvan.stream.FrameStream`) reads it and keeps the newest few
    frames for a sending thread that publishes them (:meth:`consume`). With
    ``camera=None`` nothing is read: the publisher is a
    :class:`~quorvan.stream.FrameSink` fed by the caller. A subscriber that is
    slow or gone never slows the camera: Zenoh drops on its congested link
    (congestion control ``DROP``), and frames the sending thread had no time
    for are counted in :attr:`frames_dropped`.

    With no endpoints the publisher joins the Zenoh router on
    ``tcp/127.0.0.1:7447`` if one runs there and otherwise listens on that
    port itself. With ``router`` (given endpoints only) the session routes for
    everyone who connects there, as a Zenoh router would. Raises
    :class:`PublisherNameTaken` when a node of the same
    namespace and name is reachable, ``RuntimeError`` when the endpoints
    cannot be used.
    """

    def __init__(
        self,
        camera: CameraLike | None,
        name: str = conventions.DEFAULT_NAMESPACE,
        *,
        listen: Sequence[str] | None = None,
        connect: Sequence[str] | None = None,
        node_name: str = DEFAULT_NODE_NAME,
        depth_encoding: str = ros_depth.ENCODING_DEPTH_32,
        points: bool = False,
        domain_id: int | None = None,
        router: bool = False,
    ) -> None:
        self.topics = conventions.CameraTopics.for_namespace(name)
        self.namespace = self.topics.namespace
        self.node_name = _check_node_name(node_name)
        self.domain_id = rmw_zenoh.domain_id_from_environment() if domain_id is None else domain_id
        self._camera = camera
        self._encoder = RosFrameEncoder(self.topics, self._intrinsics_for, depth_encoding, points)
        self.endpoints = self._choose_endpoints(listen, connect, router)
        try:
            self._session = open_session(
                self.endpoints.listen, self.endpoints.connect, router=self.endpoints.router
            )
        except zenoh.ZError as error:
            self._refuse_if_name_taken([*self.endpoints.listen, *self.endpoints.connect])
            raise RuntimeError(
                f"cannot listen on {', '.join(self.endpoints.listen)}: {error}"
            ) from None
        self._zid = str(self._session.info.zid())
        self._lock = threading.Lock()  # guards the topic publishers and closing
        self._topic_publishers: dict[str, _TopicPublisher] = {}
        self._next_entity_id = 1
        self._records_sent = 0
        try:
            self._refuse_if_running(self._session)
            self._node_token = self._session.liveliness().declare_token(
                rmw_zenoh.node_token(self.domain_id, self._zid, 0, self.namespace, self.node_name)
            )
            self._frame_publisher = self._session.declare_publisher(
                frame_key(self.domain_id, self.namespace),
                congestion_control=zenoh.CongestionControl.DROP,
                express=True,
            )
        except BaseException:
            self._session.close()  # type: ignore[no-untyped-call]
            raise
        self._closed = False
        self._closing = False
        self.frames_sent = 0
        self.send_errors = 0
        self._stream = (
            None
            if camera is None
            else FrameStream(camera, [_SendingSink(self)], queue_frames=_SEND_QUEUE_FRAMES)
        )
        self._exit_registration = closing.close_at_exit(self)

    @property
    def name(self) -> str:
        """What this sink is, for messages: the node it publishes as."""
        return f"bus publisher {self.namespace}/{self.node_name}"

    @staticmethod
    def _choose_endpoints(
        listen: Sequence[str] | None, connect: Sequence[str] | None, router: bool
    ) -> PublisherEndpoints:
        if listen or connect:
            what = ", ".join([*(listen or []), *(connect or [])])
            return PublisherEndpoints(
                list(listen or []), list(connect or []), f"on {what}", router=router
            )
        try:
            return default_publisher_endpoints()
        except OSError as error:  # PortHeldByOther is no OSError and passes as it is
            raise RuntimeError(f"cannot reach the bus's port: {error}") from None

    def _intrinsics_for(self, shape: tuple[int, ...]) -> ros_depth.IntrinsicsLike:
        camera = self._camera
        if camera is not None:
            get_intrinsics = getattr(camera, "getIntrinsics", None)
            if get_intrinsics is not None:
                try:
                    reported = get_intrinsics()
                    if int(reported.width) == int(shape[-1]):
                        return ros_depth.native_intrinsics(reported)
                except (AttributeError, RuntimeError, TypeError, ValueError):
                    pass
            return conventions.camera_intrinsics(camera, shape)
        return messages.nominal_intrinsics(int(shape[-1]), int(shape[-2]))

    def _refuse_if_running(self, session: zenoh.Session) -> None:
        pattern = rmw_zenoh.node_token_pattern(self.domain_id, self.namespace, self.node_name)
        for reply in session.liveliness().get(pattern, timeout=_NAME_QUERY_S):
            if reply.ok is not None:
                raise PublisherNameTaken(
                    f"a node {self.namespace}/{self.node_name} is already publishing on domain "
                    f"{self.domain_id}; stop it or choose another namespace (--namespace)"
                )

    def _refuse_if_name_taken(self, where: Sequence[str]) -> None:
        # The endpoint is busy: if a Zenoh node holds it and our name is taken
        # there, say so; if something else holds it, say that.
        if not zenoh_answers(where[0]):
            port = where[0].rsplit(":", 1)[-1]
            if port.isdigit():
                raise RuntimeError(port_held_message(int(port)))
            return
        try:
            probe = open_session([], list(where), handshake_timeout_ms=1000)
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
        return 0 if self._stream is None else self._stream.frames_read

    @property
    def frames_dropped(self) -> int:
        """Frames read from the camera but replaced by a newer one before they were sent."""
        if self._stream is None:
            return 0
        return sum(entry.dropped for entry in self._stream.statistics())

    def consume(self, snapshot: FrameSnapshot) -> None:
        """Publishes one frame: the frame record, its images, its camera info last."""
        encoded = self._encoder.encode(snapshot)
        with self._lock:
            if self._closed:
                return
            for_subscriber = sum(1 for message in encoded if message.plane in _SUBSCRIBER_PLANES)
            self._records_sent += 1
            self._frame_publisher.put(
                FRAME_RECORD.pack(
                    snapshot.sequence,
                    snapshot.timestamp,
                    snapshot.capture_ns,
                    for_subscriber,
                    self._records_sent,
                )
            )
            for message in encoded:
                self._topic(message).put(message.data, snapshot.sequence)
        self.frames_sent += 1

    def _topic(self, message: EncodedMessage) -> _TopicPublisher:
        # Topics are declared on first use, so the graph shows what the camera
        # delivers (a depth camera no raw topic, a raw one no depth).
        publisher = self._topic_publishers.get(message.topic)
        if publisher is None:
            qos = (
                rmw_zenoh.CAMERA_INFO_QOS
                if message.plane == conventions.PLANE_CAMERA_INFO
                else rmw_zenoh.SENSOR_DATA_QOS
            )
            token = rmw_zenoh.publisher_token(
                self.domain_id,
                self._zid,
                0,
                self._next_entity_id,
                self.namespace,
                self.node_name,
                message.topic,
                message.message_type,
                qos,
            )
            self._next_entity_id += 1
            key = rmw_zenoh.topic_key(self.domain_id, message.topic, message.message_type)
            publisher = self._topic_publishers[message.topic] = _TopicPublisher(
                self._session, key, token
            )
        return publisher

    def close(self) -> None:
        """Stops reading the camera (which stays started) and leaves the bus."""
        if self._closing:
            return
        self._closing = True
        closing.forget(self._exit_registration)
        if self._stream is not None:
            # The sending sink counts its errors and never fails, so this
            # raises nothing of its own.
            self._stream.close()
        with self._lock:
            self._closed = True
            for publisher in self._topic_publishers.values():
                publisher.undeclare()
            self._node_token.undeclare()  # type: ignore[no-untyped-call]
        self._session.close()  # type: ignore[no-untyped-call]

    def __enter__(self) -> Publisher:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class _SendingSink:
    """The publisher's own camera stream hands frames to it here; a frame that
    cannot be sent is counted in ``send_errors`` and the next one tried."""

    def __init__(self, publisher: Publisher) -> None:
        self._publisher = publisher

    @property
    def name(self) -> str:
        return self._publisher.name

    def consume(self, snapshot: FrameSnapshot) -> None:
        try:
            self._publisher.consume(snapshot)
        except (zenoh.ZError, ValueError):
            self._publisher.send_errors += 1

    def close(self) -> None:
        """The publisher leaves the bus in its own close, after the stream's."""


def _check_node_name(node_name: str) -> str:
    # A node name is one ROS name token; the namespace check knows the rules.
    if not isinstance(node_name, str) or "/" in node_name:
        raise ValueError(f"node name {node_name!r} is one ROS name, without '/'")
    conventions.normalise_namespace(node_name)
    return node_name


__all__ = [
    "DEFAULT_NODE_NAME",
    "Publisher",
    "PublisherNameTaken",
    "camera_intrinsics",
]
