"""How this package names, places and stamps a camera's outputs for ROS 2 tools.

The recorder, the live publisher, the Foxglove server and replay all take
their names from here, so that a camera looks the same in a recording, on the
bus and in a viewer, and two cameras can sit side by side:

- **Namespace.** Each camera lives under a ROS namespace (``/front``; the
  default :data:`DEFAULT_NAMESPACE`). :func:`normalise_namespace` checks it
  against ROS 2's name rules and refuses anything else with ``ValueError``.
- **Topics** (:class:`CameraTopics`), as image_pipeline names them under the
  namespace: ``depth/image_raw``, ``depth/camera_info``,
  ``depth/image_raw/compressedDepth``, ``amplitude/image_raw``,
  ``confidence/image_raw``, ``points`` and ``raw/image_raw``.
- **Frame id**: the camera's optical frame (REP 103: z forward, x right, y
  down), ``<last namespace token>_optical_frame``; the default namespace keeps
  the frame id earlier recordings carry, ``quorvan_optical_frame``.
- **Planes.** Every channel we write names what it carries in its metadata
  (:data:`METADATA_PLANE`, one of :data:`PLANES`) and the namespace
  (:data:`METADATA_NAMESPACE`), so readers find channels without relying on
  topic names; recordings made before namespaces used the fixed topics of
  :data:`LEGACY_TOPICS`.
- **Intrinsics** (:func:`camera_intrinsics`): the camera's own, else the
  nominal pinhole of its sensor.
- **Time.** ``header.stamp`` is host real time (nanoseconds since the Unix
  epoch) at capture; the device's own millisecond timestamp stays beside it.
  :func:`stamp_parts` splits nanoseconds into ROS's ``(sec, nanosec)``.
- **QoS** (:func:`offered_qos_profiles`): images are offered with the
  sensor-data profile (best effort, keep last 5, volatile), camera info
  reliably (keep last 10, volatile); recordings carry the profile in rosbag2's
  ``offered_qos_profiles`` form so that ``ros2 bag play`` offers the same.
- **Depth for ROS** (:func:`depth_for_ros`): the one place that turns the
  camera's depth (millimetres along each pixel's ray) into what a ROS depth
  image carries (metres along the optical axis, NaN where invalid).
"""

from __future__ import annotations

import re
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, overload

import numpy as np
import numpy.typing as npt

from . import messages
from .camera_like import CameraLike
from .ros_depth import depth_image_for_ros

__all__ = [
    "DEFAULT_NAMESPACE",
    "DEFAULT_NODE_NAME",
    "LEGACY_TOPICS",
    "DEVICE_TIME_IN_PUBLISH_TIME",
    "METADATA_DEVICE_TIME",
    "METADATA_NAMESPACE",
    "METADATA_PLANE",
    "PLANES",
    "PLANE_AMPLITUDE",
    "PLANE_CAMERA_INFO",
    "PLANE_COMPRESSED_DEPTH",
    "PLANE_CONFIDENCE",
    "PLANE_DEPTH",
    "PLANE_POINTS",
    "PLANE_RAW",
    "CameraTopics",
    "QOS_RELIABLE",
    "QOS_SENSOR_DATA",
    "camera_intrinsics",
    "depth_for_ros",
    "name_token",
    "normalise_namespace",
    "offered_qos_profiles",
    "stamp_parts",
]

DEFAULT_NAMESPACE = "/quorvan"
# The ROS node a camera's live publisher appears as, under its namespace.
DEFAULT_NODE_NAME = "quorvan_camera"

PLANE_RAW = "raw"
PLANE_DEPTH = "depth"
PLANE_AMPLITUDE = "amplitude"
PLANE_CONFIDENCE = "confidence"
PLANE_CAMERA_INFO = "camera_info"
PLANE_COMPRESSED_DEPTH = "compressed_depth"
PLANE_POINTS = "points"
PLANES = (
    PLANE_RAW,
    PLANE_DEPTH,
    PLANE_AMPLITUDE,
    PLANE_CONFIDENCE,
    PLANE_CAMERA_INFO,
    PLANE_COMPRESSED_DEPTH,
    PLANE_POINTS,
)

METADATA_PLANE = "quorvan.plane"
METADATA_NAMESPACE = "quorvan.namespace"
# Where a channel keeps the camera's own timestamp of each message, when its
# header carries host time: "publish_time" (the MCAP message's publish time).
METADATA_DEVICE_TIME = "quorvan.device_time"
DEVICE_TIME_IN_PUBLISH_TIME = "publish_time"

# Each plane's topic below the camera's namespace, as image_pipeline names them.
_PLANE_TOPICS = {
    PLANE_RAW: "raw/image_raw",
    PLANE_DEPTH: "depth/image_raw",
    PLANE_AMPLITUDE: "amplitude/image_raw",
    PLANE_CONFIDENCE: "confidence/image_raw",
    PLANE_CAMERA_INFO: "depth/camera_info",
    PLANE_COMPRESSED_DEPTH: "depth/image_raw/compressedDepth",
    PLANE_POINTS: "points",
}

# The fixed topics of recordings made before cameras had namespaces.
LEGACY_TOPICS = {
    PLANE_RAW: messages.TOPIC_RAW,
    PLANE_DEPTH: messages.TOPIC_DEPTH,
    PLANE_AMPLITUDE: messages.TOPIC_AMPLITUDE,
    PLANE_CONFIDENCE: messages.TOPIC_CONFIDENCE,
    PLANE_CAMERA_INFO: messages.TOPIC_CAMERA_INFO,
}

# A ROS 2 name token: a letter or underscore, then letters, digits and
# underscores; no double underscores (rcl refuses them).
_TOKEN = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_NAMESPACE_LIMIT = 200


def normalise_namespace(namespace: str) -> str:
    """``namespace`` as an absolute ROS 2 namespace (``"cam0"`` -> ``"/cam0"``).

    Raises ``ValueError`` naming the problem for anything ROS 2 would refuse:
    empty tokens, characters outside ``[A-Za-z0-9_]``, a token starting with
    a digit, double underscores, or a name longer than 200 characters.
    """
    if not isinstance(namespace, str):
        raise ValueError(f"a namespace is text, not {type(namespace).__name__}")
    text = namespace.strip()
    if len(text) > _NAMESPACE_LIMIT:
        raise ValueError(f"namespace longer than {_NAMESPACE_LIMIT} characters")
    inner = text[1:] if text.startswith("/") else text
    tokens = (inner[:-1] if inner.endswith("/") else inner).split("/")
    if text in ("", "/") or any(not token for token in tokens):
        raise ValueError(f"namespace {namespace!r} has an empty part: write e.g. '/front'")
    for token in tokens:
        if not _TOKEN.fullmatch(token) or "__" in token:
            raise ValueError(
                f"namespace {namespace!r}: {token!r} is not a ROS name "
                "(letters, digits and single underscores, not starting with a digit)"
            )
    return "/" + "/".join(tokens)


def name_token(text: str) -> str:
    """A ROS name token made from ``text`` (a serial number: ``"QVK-000001"`` ->
    ``"qvk_000001"``): lower case, other characters as single underscores, and
    ``cam_`` in front of what would start with a digit or be empty."""
    token = re.sub(r"[^a-z0-9]+", "_", text.lower()).strip("_")
    return token if token and not token[0].isdigit() else f"cam_{token}".rstrip("_")


class _PlaneTopic:
    """A read-only attribute of :class:`CameraTopics`: the topic carrying one plane."""

    def __init__(self, plane: str) -> None:
        self._plane = plane

    @overload
    def __get__(self, topics: None, owner: type[CameraTopics]) -> _PlaneTopic: ...
    @overload
    def __get__(self, topics: CameraTopics, owner: type[CameraTopics]) -> str: ...
    def __get__(self, topics: CameraTopics | None, owner: type[CameraTopics]) -> _PlaneTopic | str:
        return self if topics is None else topics.for_plane(self._plane)


@dataclass(frozen=True)
class CameraTopics:
    """The topics and optical frame of one camera under its namespace."""

    namespace: str
    frame_id: str

    @classmethod
    def for_namespace(cls, namespace: str = DEFAULT_NAMESPACE) -> CameraTopics:
        """The topics of a camera under ``namespace`` (``ValueError`` if not a ROS name)."""
        absolute = normalise_namespace(namespace)
        return cls(absolute, absolute.rsplit("/", 1)[-1] + "_optical_frame")

    depth = _PlaneTopic(PLANE_DEPTH)
    depth_camera_info = _PlaneTopic(PLANE_CAMERA_INFO)
    compressed_depth = _PlaneTopic(PLANE_COMPRESSED_DEPTH)
    amplitude = _PlaneTopic(PLANE_AMPLITUDE)
    confidence = _PlaneTopic(PLANE_CONFIDENCE)
    points = _PlaneTopic(PLANE_POINTS)
    raw = _PlaneTopic(PLANE_RAW)

    def for_plane(self, plane: str) -> str:
        """The topic carrying ``plane`` (one of :data:`PLANES`)."""
        if plane not in _PLANE_TOPICS:
            raise ValueError(f"no topic for plane {plane!r}; planes are {', '.join(PLANES)}")
        return f"{self.namespace}/{_PLANE_TOPICS[plane]}"

    def channel_metadata(self, plane: str) -> dict[str, str]:
        """Metadata of the channel carrying ``plane``, so readers need not parse topic names."""
        self.for_plane(plane)
        return {METADATA_PLANE: plane, METADATA_NAMESPACE: self.namespace}


def camera_intrinsics(camera: CameraLike, shape: tuple[int, ...]) -> messages.Intrinsics:
    """The camera's own intrinsics if it reports them, else the nominal pinhole.

    ``shape`` is the shape of a plane of the frame; raw frames stack their
    sub-frames, so a plane taller than the sensor is cut to one sub-frame.
    """
    get_intrinsics: Callable[[], Any] | None = getattr(camera, "getIntrinsics", None)
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
        except (AttributeError, RuntimeError, TypeError, ValueError):
            pass
    height, width = int(shape[-2]), int(shape[-1])
    info = camera.getCameraInfo()
    if int(info.height) and height > int(info.height):
        height = int(info.height)
    return messages.nominal_intrinsics(width, height)


def stamp_parts(stamp_ns: int) -> tuple[int, int]:
    """ROS's ``(sec, nanosec)`` of a time in nanoseconds (``nanosec`` always in [0, 1e9))."""
    seconds, nanoseconds = divmod(int(stamp_ns), 1_000_000_000)
    return seconds, nanoseconds


def _qos_profile(depth: int, reliability: int) -> str:
    # rosbag2's YAML of a list of offered profiles, policies as rmw's numbers:
    # history 1 keep last; reliability 1 reliable, 2 best effort; durability
    # 2 volatile; liveliness 1 automatic; durations 0 are "unspecified".
    unspecified = "\n    sec: 0\n    nsec: 0"
    return (
        f"- history: 1\n  depth: {depth}\n  reliability: {reliability}\n  durability: 2\n"
        f"  deadline:{unspecified}\n  lifespan:{unspecified}\n  liveliness: 1\n"
        f"  liveliness_lease_duration:{unspecified}\n  avoid_ros_namespace_conventions: false"
    )


QOS_SENSOR_DATA = _qos_profile(5, 2)
QOS_RELIABLE = _qos_profile(10, 1)


def offered_qos_profiles(plane: str) -> str:
    """rosbag2's ``offered_qos_profiles`` of the channel carrying ``plane``."""
    if plane not in PLANES:
        raise ValueError(f"no plane {plane!r}; planes are {', '.join(PLANES)}")
    return QOS_RELIABLE if plane == PLANE_CAMERA_INFO else QOS_SENSOR_DATA


def depth_for_ros(
    depth_mm: npt.NDArray[np.float32], intrinsics: messages.Intrinsics
) -> npt.NDArray[np.float32]:
    """The ``32FC1`` plane a ROS depth image carries, from the camera's depth in millimetres.

    ROS tools read depth as Z along the optical axis in metres, NaN where
    there is none (REP 118); the camera gives the distance along each pixel's
    ray. The conversion uses the rays of ``intrinsics``, the same intrinsics
    the recording's ``CameraInfo`` carries.
    """
    return depth_image_for_ros(depth_mm, intrinsics)
