"""Serves a camera live to Foxglove-compatible tools over WebSocket.

Channels (``foxglove.sdk.v1`` WebSocket protocol, message encoding protobuf):

    /quorvan/depth         foxglove.RawImage 32FC1, millimetres
    /quorvan/amplitude     foxglove.RawImage 32FC1
    /quorvan/calibration   foxglove.CameraCalibration (the nominal pinhole unless the
                           camera reports its intrinsics)
    /quorvan/points        foxglove.PointCloud, every ``point_step``-th pixel, metres,
                           depth taken along each pixel's ray

    python -m quorvan.foxglove_live [--config KIT_CFG] [--port 8765]
"""

from __future__ import annotations

import argparse
import collections
import logging
import re
import signal
import sys
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

from . import closing, messages
from .camera_like import CameraLike
from .live.publisher import camera_intrinsics
from .stream import CameraReader, FrameSnapshot, NewestFrameSlot

TOPIC_DEPTH = "/quorvan/depth"
TOPIC_AMPLITUDE = "/quorvan/amplitude"
TOPIC_CALIBRATION = "/quorvan/calibration"
TOPIC_POINTS = "/quorvan/points"
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


def _timestamp(stamp_ms: int) -> Timestamp:
    seconds, milliseconds = divmod(int(stamp_ms), 1000)
    return Timestamp(seconds, milliseconds * 1_000_000)


def _raw_image(plane: npt.NDArray[np.float32], stamp_ms: int) -> RawImage:
    height, width = plane.shape
    return RawImage(
        timestamp=_timestamp(stamp_ms),
        frame_id=messages.FRAME_ID,
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


class FoxgloveLiveServer:
    """Streams a started camera's frames to every connected Foxglove client.

    Like the bus publisher it reads the camera on its own thread and sends
    only the newest frame, so a slow client never slows the camera (the SDK
    also drops the oldest messages per client when a client falls behind).
    """

    def __init__(
        self,
        camera: CameraLike,
        *,
        port: int = DEFAULT_PORT,
        host: str = "127.0.0.1",
        point_step: int = 4,
    ) -> None:
        _quiet_repeated_send_errors()
        self._camera = camera
        self._point_step = point_step
        self._context = foxglove.Context()
        self._depth = RawImageChannel(TOPIC_DEPTH, context=self._context)
        self._amplitude = RawImageChannel(TOPIC_AMPLITUDE, context=self._context)
        self._calibration = CameraCalibrationChannel(TOPIC_CALIBRATION, context=self._context)
        self._points = PointCloudChannel(TOPIC_POINTS, context=self._context)
        self._server = foxglove.start_server(
            name="quorvan", host=host, port=port, context=self._context
        )
        self._intrinsics: messages.Intrinsics | None = None
        self._slot = NewestFrameSlot()
        self._reader = CameraReader(camera, self._slot.put)
        self._stopping = threading.Event()
        self.frames_sent = 0
        self._sender = threading.Thread(
            target=self._send_loop, name="quorvan-foxglove", daemon=True
        )
        self._reader.start()
        self._sender.start()
        self._exit_registration = closing.close_at_exit(self)

    @property
    def port(self) -> int:
        return self._server.port

    @property
    def frames_dropped(self) -> int:
        return self._slot.frames_dropped

    def _send_loop(self) -> None:
        while not self._stopping.is_set():
            snapshot = self._slot.take(0.1)
            if snapshot is not None and snapshot.depth is not None:
                self._send(snapshot)
                self.frames_sent += 1

    def _send(self, snapshot: FrameSnapshot) -> None:
        assert snapshot.depth is not None and snapshot.amplitude is not None
        if self._intrinsics is None or self._intrinsics.width != snapshot.depth.shape[1]:
            self._intrinsics = camera_intrinsics(self._camera, snapshot.shape)
        stamp = snapshot.timestamp
        self._depth.log(_raw_image(snapshot.depth, stamp))
        self._amplitude.log(_raw_image(snapshot.amplitude, stamp))
        k = self._intrinsics
        self._calibration.log(
            CameraCalibration(
                timestamp=_timestamp(stamp),
                frame_id=messages.FRAME_ID,
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
                    frame_id=messages.FRAME_ID,
                    point_stride=12,
                    fields=fields,
                    data=points.tobytes(),
                )
            )

    def close(self) -> None:
        if self._stopping.is_set():
            return
        closing.forget(self._exit_registration)
        self._reader.stop()
        self._stopping.set()
        self._slot.close()
        self._sender.join()
        self._server.stop()

    def __enter__(self) -> FoxgloveLiveServer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def main(argv: list[str] | None = None) -> int:
    from .kit_configs import CONFIG_HELP, ConfigNotFound
    from .live.camera_setup import CameraSetupError, open_camera, tcp_port

    parser = argparse.ArgumentParser(
        prog="python -m quorvan.foxglove_live",
        description="Serve a camera to Foxglove on 127.0.0.1",
    )
    parser.add_argument("--config", help=CONFIG_HELP)
    parser.add_argument("--port", type=tcp_port, default=DEFAULT_PORT)
    parser.add_argument("--mode", type=int, help="MODE before start")
    args = parser.parse_args(argv)
    try:
        camera = open_camera(args.config, mode=args.mode)
    except (CameraSetupError, ConfigNotFound) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    try:
        server = FoxgloveLiveServer(camera, port=args.port)
    except RuntimeError as error:  # the port is taken, or not ours to bind
        print(f"error: cannot serve on 127.0.0.1:{args.port}: {error}", file=sys.stderr)
        camera.stop()
        camera.close()
        return 1
    print(f"Foxglove: open ws://127.0.0.1:{server.port} (Ctrl-C stops)", flush=True)
    try:
        # SIGTERM (a service manager, kill) closes as Ctrl-C does; a process
        # started in the background by a shell ignores SIGINT.
        stop = threading.Event()
        signal.signal(signal.SIGTERM, lambda *_: stop.set())
        # A line every few seconds says that frames still flow.
        while not stop.wait(5.0):
            print(f"sent {server.frames_sent}  dropped {server.frames_dropped}", flush=True)
    except KeyboardInterrupt:
        pass
    finally:
        server.close()
        camera.stop()
        camera.close()
    return 0


__all__ = [
    "DEFAULT_PORT",
    "FoxgloveLiveServer",
    "TOPIC_AMPLITUDE",
    "TOPIC_CALIBRATION",
    "TOPIC_DEPTH",
    "TOPIC_POINTS",
    "decimated_points",
    "main",
]


if __name__ == "__main__":
    raise SystemExit(main())
