"""One camera frame as the ROS 2 messages the bus publishes for it.

:class:`RosFrameEncoder` turns a :class:`~quorvan.stream.FrameSnapshot` into
(topic, message type, CDR bytes) triples, following ROS's conventions:
depth as Z along the optical axis (:mod:`quorvan.ros_depth`), in metres
(``32FC1``, NaN where invalid) or millimetres (``16UC1``, 0 where invalid);
the ``CameraInfo`` of the intrinsics the depth was converted with; the
lossless ``compressedDepth`` image of the same Z millimetres; optionally an
organised ``PointCloud2`` in metres; ``header.stamp`` the host's real time at
capture (``snapshot.capture_ns``) and ``frame_id`` the camera's optical frame.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from QuorvanDepthCamera import QuorvanDeprojector, QuorvanIntrinsics, QuorvanMessageEncoder

from .. import conventions, messages, ros_depth
from ..stream import FrameSnapshot
from . import rmw_zenoh

__all__ = ["EncodedMessage", "RosFrameEncoder"]

_IDENTITY = [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0]


@dataclass(frozen=True)
class EncodedMessage:
    """A message of one frame: the plane it carries, its topic and type, its CDR bytes."""

    plane: str  # one of conventions.PLANES
    topic: str
    message_type: rmw_zenoh.MessageType
    data: bytes


class RosFrameEncoder:
    """Encodes frames of one camera under ``topics``.

    ``intrinsics_for(shape)`` gives the camera's intrinsics for a plane of
    that shape (called again only when the image size changes).
    """

    def __init__(
        self,
        topics: conventions.CameraTopics,
        intrinsics_for: Callable[[tuple[int, ...]], ros_depth.IntrinsicsLike],
        depth_encoding: str = ros_depth.ENCODING_DEPTH_32,
        points: bool = False,
    ) -> None:
        if depth_encoding not in ros_depth.DEPTH_ENCODINGS:
            raise ValueError(
                f"depth encoding {depth_encoding!r}: use one of "
                f"{', '.join(ros_depth.DEPTH_ENCODINGS)}"
            )
        self.topics = topics
        self.depth_encoding = depth_encoding
        self.points = points
        self._intrinsics_for = intrinsics_for
        self._intrinsics: QuorvanIntrinsics | None = None
        self._deprojector: QuorvanDeprojector | None = None

    def intrinsics(self, shape: tuple[int, ...]) -> QuorvanIntrinsics:
        """The intrinsics of a frame whose planes have ``shape`` (kept until the size changes)."""
        width = int(shape[-1])
        current = self._intrinsics
        if current is None or current.width != width:
            current = ros_depth.native_intrinsics(self._intrinsics_for(shape))
            self._intrinsics = current
            self._deprojector = None
        return current

    def encode(self, snapshot: FrameSnapshot) -> list[EncodedMessage]:
        """The messages of one frame, camera info last."""
        stamp = conventions.stamp_parts(snapshot.capture_ns)
        frame_id = self.topics.frame_id
        intrinsics = self.intrinsics(snapshot.shape)
        out: list[EncodedMessage] = []

        def image(plane: str, pixels: npt.NDArray[Any]) -> None:
            data = QuorvanMessageEncoder.image(pixels, stamp[0], stamp[1], frame_id)
            out.append(EncodedMessage(plane, self.topics.for_plane(plane), rmw_zenoh.IMAGE, data))

        if snapshot.depth is not None:
            radial = np.asarray(snapshot.depth, dtype=np.float32)
            converter = ros_depth.optical_depth(intrinsics)
            z_mm = converter.millimetres(radial)
            if self.depth_encoding == ros_depth.ENCODING_DEPTH_16:
                image(conventions.PLANE_DEPTH, z_mm)
            else:
                image(conventions.PLANE_DEPTH, converter.metres(radial))
            compressed = QuorvanMessageEncoder.compressedDepth(z_mm, stamp[0], stamp[1], frame_id)
            out.append(
                EncodedMessage(
                    conventions.PLANE_COMPRESSED_DEPTH,
                    self.topics.compressed_depth,
                    rmw_zenoh.COMPRESSED_IMAGE,
                    compressed,
                )
            )
            if self.points:
                out.append(self._point_cloud(radial, intrinsics, stamp))
        for plane, pixels in (
            (conventions.PLANE_AMPLITUDE, snapshot.amplitude),
            (conventions.PLANE_CONFIDENCE, snapshot.confidence),
        ):
            if pixels is not None:
                image(plane, np.asarray(pixels, dtype=np.float32))
        if snapshot.raw is not None:
            image(conventions.PLANE_RAW, np.asarray(snapshot.raw, dtype=np.int16))
        out.append(
            EncodedMessage(
                conventions.PLANE_CAMERA_INFO,
                self.topics.depth_camera_info,
                rmw_zenoh.CAMERA_INFO,
                _camera_info(intrinsics, stamp, frame_id),
            )
        )
        return out

    def _point_cloud(
        self,
        radial_mm: npt.NDArray[np.float32],
        intrinsics: QuorvanIntrinsics,
        stamp: tuple[int, int],
    ) -> EncodedMessage:
        if self._deprojector is None:
            self._deprojector = QuorvanDeprojector(intrinsics)
        xyz_m = self._deprojector.deproject(radial_mm) * np.float32(0.001)
        data = QuorvanMessageEncoder.pointCloud(
            xyz_m, stamp[0], stamp[1], self.topics.frame_id, False
        )
        return EncodedMessage(
            conventions.PLANE_POINTS, self.topics.points, rmw_zenoh.POINT_CLOUD2, data
        )


def _camera_info(intrinsics: QuorvanIntrinsics, stamp: tuple[int, int], frame_id: str) -> bytes:
    model = messages.Intrinsics(
        int(intrinsics.width),
        int(intrinsics.height),
        float(intrinsics.fx),
        float(intrinsics.fy),
        float(intrinsics.cx),
        float(intrinsics.cy),
    )
    return QuorvanMessageEncoder.cameraInfo(
        model.width,
        model.height,
        "plumb_bob",
        [float(value) for value in intrinsics.distortion],
        list(model.k),
        _IDENTITY,
        list(model.p),
        stamp[0],
        stamp[1],
        frame_id,
    )
