"""Serves a camera live to Foxglove-compatible tools over WebSocket.

Channels (``foxglove.sdk.v1`` WebSocket protocol, message encoding protobuf),
named as every output of this package names them (:mod:`quorvan.conventions`;
shown for the default namespace ``/quorvan``):

    /quorvan/depth/image_raw      foxglove.RawImage 32FC1, millimetres
    /quorvan/amplitude/image_raw  foxglove.RawImage 32FC1
    /quorvan/depth/camera_info    foxglove.CameraCalibration (the nominal pinhole unless
                                  the camera reports its intrinsics)
    /quorvan/points               foxglove.PointCloud, every ``point_step``-th pixel,
                                  metres, depth taken along each pixel's ray

Timestamps are the host's real time at capture; the frame id is the camera's
optical frame. :class:`FoxgloveSink` is the sink of the stream core;
:class:`FoxgloveLiveServer` runs one over a camera of its own.

    python -m quorvan.foxglove_live [--config KIT_CFG] [--port 8765] [--namespace /front]
"""

from __future__ import annotations

import argparse
import collections
import logging
import re
import threading

import foxglove
import numpy as np
import numpy.typing as npt
from foxglove.channels import CameraCalibrationChannel, PointCloudChannel, RawImageChannel
from foxglove.messages import (
    CameraCalibration,
    PackedElementField,
    PackedElementFieldNumericType,
    PointCloud,
    RawImage,
    Timestamp,
)

from . import closing, conventions, messages
from .camera_like import CameraLike
from .stream import FrameSnapshot, FrameStream, SinkStatistics

_DEFAULT_TOPICS = conventions.CameraTopics.for_namespace(conventions.DEFAULT_NAMESPACE)
TOPIC_DEPTH = _DEFAULT_TOPICS.depth
TOPIC_AMPLITUDE = _DEFAULT_TOPICS.amplitude
TOPIC_CALIBRATION = _DEFAULT_TOPICS.depth_camera_info
TOPIC_POINTS = _DEFAULT_TOPICS.points
DEFAULT_PORT = 8765

# The SDK logs every message it fails to send, through this logger: a client
# that stops reading and goes away produced hundreds of identical lines.
_SEND_ERROR_LOGGER = "foxglove.websocket.connected_client.poller"
_SEND_ERROR = re.compile(r"Error (?:sending message to|receiving from) client (\S+?):? ")


class _OneSendErrorPerClient(logging.Filter):
    """Lets the first send or receive error of each client through, drops its repeats."""

    def __init__(self, remembered: int = 256) -> None:
        super().__init__()
        self._lock = threading.Lock()  # guards _reported
        self._reported: collections.OrderedDict[str, None] = collections.OrderedDict()
        self._remembered = remembered

    def filter(self, record: logging.LogRecord) -> bool:
        match = _SEND_ERROR.match(record.getMessage())
        if match is None:
            return True
        with self._lock:
            if match.group(1) in self._reported:
                return False
            self._reported[match.group(1)] = None
            if len(self._reported) > self._remembered:
                self._reported.popitem(last=False)
        return True


def _quiet_repeated_send_errors() -> None:
    logger = logging.getLogger(_SEND_ERROR_LOGGER)
    if not any(isinstance(f, _OneSendErrorPerClient) for f in logger.filters):
        logger.addFilter(_OneSendErrorPerClient())


def _timestamp(stamp_ns: int) -> Timestamp:
    return Timestamp(*conventions.stamp_parts(stamp_ns))


def _raw_image(plane: npt.NDArray[np.float32], stamp_ns: int, frame_id: str) -> RawImage:
    height, width = plane.shape
    return RawImage(
        timestamp=_timestamp(stamp_ns),
        frame_id=frame_id,
        width=width,
        height=height,
        encoding="32FC1",
        step=width * 4,
        data=np.ascontiguousarray(plane, dtype="<f4").tobytes(),
    )


def decimated_points(
    depth_mm: npt.NDArray[np.float32], intrinsics: messages.Intrinsics, step: int
) -> npt.NDArray[np.float32]:
    """(N, 3) points in metres of every ``step``-th pixel with a depth.

    Depth is the distance along the pixel's ray, so each point is the unit
    ray times that distance, not the ray scaled to a Z plane.
    """
    rows = np.arange(0, depth_mm.shape[0], step)
    columns = np.arange(0, depth_mm.shape[1], step)
    v, u = np.meshgrid(rows, columns, indexing="ij")
    distance = depth_mm[v, u].astype(np.float32) / np.float32(1000.0)
    x = (u - intrinsics.cx) / intrinsics.fx
    y = (v - intrinsics.cy) / intrinsics.fy
    norm = np.sqrt(x * x + y * y + 1.0)
    points = np.stack([x / norm, y / norm, 1.0 / norm], axis=-1) * distance[..., None]
    valid = distance > 0
    return points[valid].astype(np.float32)


class FoxgloveSink:
    """Sends each frame it consumes to every connected Foxglove client.

    A sink of :class:`quorvan.stream.FrameStream`: the core runs it on a thread
    of its own, so a slow client never slows the camera (the SDK also drops the
    oldest messages per client when a client falls behind). Frames without
    depth (a raw stream) are passed over. ``close`` stops the server.
    """

    name = "foxglove"

    def __init__(
        self,
        camera: CameraLike,
        *,
        port: int = DEFAULT_PORT,
        host: str = "127.0.0.1",
        point_step: int = 4,
        namespace: str = conventions.DEFAULT_NAMESPACE,
    ) -> None:
        topics = conventions.CameraTopics.for_namespace(namespace)
        _quiet_repeated_send_errors()
        self._camera = camera
        self._point_step = point_step
        self._frame_id = topics.frame_id
        self._context = foxglove.Context()
        self._depth = RawImageChannel(topics.depth, context=self._context)
        self._amplitude = RawImageChannel(topics.amplitude, context=self._context)
        self._calibration = CameraCalibrationChannel(
            topics.depth_camera_info, context=self._context
        )
        self._points = PointCloudChannel(topics.points, context=self._context)
        self._server = foxglove.start_server(
            name="quorvan", host=host, port=port, context=self._context
        )
        self._intrinsics: messages.Intrinsics | None = None
        self._stopped = False
        self.frames_sent = 0

    @property
    def port(self) -> int:
        return self._server.port

    def consume(self, snapshot: FrameSnapshot) -> None:
        if snapshot.depth is None or snapshot.amplitude is None:
            return
        if self._intrinsics is None or self._intrinsics.width != snapshot.depth.shape[1]:
            self._intrinsics = conventions.camera_intrinsics(self._camera, snapshot.shape)
        stamp = snapshot.capture_ns
        self._depth.log(_raw_image(snapshot.depth, stamp, self._frame_id))
        self._amplitude.log(_raw_image(snapshot.amplitude, stamp, self._frame_id))
        k = self._intrinsics
        self._calibration.log(
            CameraCalibration(
                timestamp=_timestamp(stamp),
                frame_id=self._frame_id,
                width=k.width,
                height=k.height,
                distortion_model=k.distortion_model,
                D=list(k.distortion),
                K=list(k.k),
                R=[1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0],
                P=list(k.p),
            )
        )
        if self._points.has_sinks():
            points = decimated_points(snapshot.depth, k, self._point_step)
            fields = [
                PackedElementField(
                    name=axis, offset=4 * index, type=PackedElementFieldNumericType.Float32
                )
                for index, axis in enumerate("xyz")
            ]
            self._points.log(
                PointCloud(
                    timestamp=_timestamp(stamp),
                    frame_id=self._frame_id,
                    point_stride=12,
                    fields=fields,
                    data=points.tobytes(),
                )
            )
        self.frames_sent += 1

    def close(self) -> None:
        if self._stopped:
            return
        self._stopped = True
        self._server.stop()


class FoxgloveLiveServer:
    """Streams a started camera's frames to every connected Foxglove client.

    One :class:`FoxgloveSink` fed by a stream core of its own that keeps only
    the newest frame for it.
    """

    def __init__(
        self,
        camera: CameraLike,
        *,
        port: int = DEFAULT_PORT,
        host: str = "127.0.0.1",
        point_step: int = 4,
        namespace: str = conventions.DEFAULT_NAMESPACE,
    ) -> None:
        self._sink = FoxgloveSink(
            camera, port=port, host=host, point_step=point_step, namespace=namespace
        )
        self._stream = FrameStream(camera, [self._sink], queue_frames=1)
        self._closed = False
        self._exit_registration = closing.close_at_exit(self)

    @property
    def port(self) -> int:
        return self._sink.port

    @property
    def frames_sent(self) -> int:
        return self._sink.frames_sent

    def _statistics(self) -> SinkStatistics:
        return self._stream.statistics()[0]

    @property
    def frames_dropped(self) -> int:
        return self._statistics().dropped

    def close(self) -> None:
        """Stops reading and the server; raises :class:`quorvan.stream.SinkFailed`
        when sending failed."""
        if self._closed:
            return
        self._closed = True
        closing.forget(self._exit_registration)
        self._stream.close()

    def __enter__(self) -> FoxgloveLiveServer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def main(argv: list[str] | None = None) -> int:
    from .kit_configs import CONFIG_HELP
    from .live.camera_setup import CameraSetupError, serve_camera, tcp_port

    parser = argparse.ArgumentParser(
        prog="python -m quorvan.foxglove_live",
        description="Serve a camera to Foxglove on 127.0.0.1",
    )
    parser.add_argument("--config", help=CONFIG_HELP)
    parser.add_argument("--port", type=tcp_port, default=DEFAULT_PORT)
    parser.add_argument("--mode", type=int, help="MODE before start")
    parser.add_argument(
        "--namespace", default=conventions.DEFAULT_NAMESPACE, help="ROS namespace of the topics"
    )
    args = parser.parse_args(argv)

    def start_server(camera: CameraLike) -> FoxgloveLiveServer:
        try:
            return FoxgloveLiveServer(camera, port=args.port, namespace=args.namespace)
        except ValueError as error:  # a namespace ROS would refuse
            raise CameraSetupError(str(error)) from error
        except RuntimeError as error:  # the port is taken, or not ours to bind
            raise CameraSetupError(f"cannot serve on 127.0.0.1:{args.port}: {error}") from error

    return serve_camera(
        args.config,
        args.mode,
        start_server,
        banner=lambda server: f"Foxglove: open ws://127.0.0.1:{server.port} (Ctrl-C stops)",
        progress=lambda server: f"sent {server.frames_sent}  dropped {server.frames_dropped}",
    )


__all__ = [
    "DEFAULT_PORT",
    "FoxgloveLiveServer",
    "FoxgloveSink",
    "TOPIC_AMPLITUDE",
    "TOPIC_CALIBRATION",
    "TOPIC_DEPTH",
    "TOPIC_POINTS",
    "decimated_points",
    "main",
]


if __name__ == "__main__":
    raise SystemExit(main())
