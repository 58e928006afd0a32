"""Recording a camera's frames into an MCAP file with ROS 2 message types.

    with Recorder("session.mcap", camera) as recorder:
        record_camera(camera, recorder, frames=60)

A raw frame (``RawData``) becomes one ``16SC1`` image on ``TOPIC_RAW``; a depth
frame (``DepthData``) becomes ``32FC1`` images on ``TOPIC_DEPTH`` (metres),
``TOPIC_AMPLITUDE`` and ``TOPIC_CONFIDENCE``; every frame also gets a
``CameraInfo`` on ``TOPIC_CAMERA_INFO``. ``header.stamp`` is the camera's
timestamp, the MCAP log time the host clock when ``write`` was called.

``write`` only copies the planes and queues them: a writer thread encodes and
writes. When the queue is full (the disk does not keep up) the frame is
dropped and counted in ``dropped``, so the caller (often a loop that must get
back to ``requestFrame``) is never held up. When writing fails (a full disk)
the frames from then on are dropped, ``write`` raises ``RuntimeError`` and
``close`` still closes the file and raises it too.

The output is opened only once the camera, the options and the attachments
were read, so a failed start leaves an existing file untouched.

Metadata records: ``quorvan.camera`` (the camera information), ``quorvan.sdk``
(versions), ``quorvan.controls`` (controls in force at the start) and one
``quorvan.control_change`` for every ``Recorder.set_control``; ``quorvan.summary``
(frames written and dropped) at the end. Attachments: the kit configuration and
the calibration file when their paths are given.
"""

from __future__ import annotations

import logging
import pathlib
import queue
import threading
import time
from dataclasses import dataclass
from types import TracebackType
from typing import Any, Callable, Union, cast

import numpy.typing as npt
from mcap.writer import CompressionType, Writer

import QuorvanDepthCamera as qdc

from . import closing, messages
from ._version import package_version
from .camera_like import CameraLike, ControllableCamera, Frame, FrameSource

_log = logging.getLogger(__name__)
PathLike = Union[str, pathlib.Path]
LIBRARY = "quorvan-recorder"
# About one second of frames at 30 fps: rides out a busy moment of the disk or CPU.
DEFAULT_QUEUE_FRAMES = 32


@dataclass
class _QueuedFrame:
    log_time_ns: int
    stamp_ms: int
    planes: dict[str, npt.NDArray[Any]]


def camera_intrinsics(camera: CameraLike, width: int, height: int) -> messages.Intrinsics:
    """The camera's own intrinsics when it reports them, else the nominal pinhole."""
    get_intrinsics: Callable[[], Any] | None = getattr(camera, "getIntrinsics", None)
    if get_intrinsics is not None:
        reported = get_intrinsics()
        if reported is not None and all(
            hasattr(reported, name) for name in ("fx", "fy", "cx", "cy")
        ):
            return messages.Intrinsics(
                width,
                height,
                float(reported.fx),
                float(reported.fy),
                float(reported.cx),
                float(reported.cy),
            )
    return messages.nominal_intrinsics(width, height)


def _camera_metadata(camera: CameraLike) -> dict[str, str]:
    info = camera.getCameraInfo()
    return {
        "index": str(info.index),
        "connect": info.connect.name,
        "device_type": info.device_type.name,
        "type": info.type.name,
        "width": str(info.width),
        "height": str(info.height),
        "bit_width": str(info.bit_width),
        "bpp": str(info.bpp),
    }


def _read_attachments(
    kit_config: PathLike | None, calibration: PathLike | None
) -> list[tuple[str, str, bytes]]:
    return [
        (pathlib.Path(path).name, media_type, pathlib.Path(path).read_bytes())
        for path, media_type in (
            (kit_config, "text/plain"),
            (calibration, "application/octet-stream"),
        )
        if path is not None
    ]


def _controls_in_force(camera: CameraLike) -> dict[str, str]:
    return {
        name: str(camera.getControl(control))
        for name, control in qdc.TOFControl.__members__.items()
    }


class Recorder:
    """Writes a camera's frames into an MCAP file from a writer thread of its own."""

    def __init__(
        self,
        path: PathLike,
        camera: CameraLike,
        *,
        queue_frames: int = DEFAULT_QUEUE_FRAMES,
        compression: bool = False,
        kit_config: PathLike | None = None,
        calibration: PathLike | None = None,
        output: Any | None = None,
    ) -> None:
        if isinstance(queue_frames, bool) or not isinstance(queue_frames, int) or queue_frames < 1:
            # queue.Queue(0) would be unbounded: a slow disk would fill memory.
            raise ValueError(
                f"queue_frames must be a whole number of at least 1, not {queue_frames!r}"
            )
        self._camera = camera
        info = camera.getCameraInfo()
        self._sensor_size = (int(info.width), int(info.height))
        # Everything that can fail is read before the output is opened: opening
        # truncates, and a failed start must leave an existing file as it was.
        attachments = _read_attachments(kit_config, calibration)
        camera_metadata = _camera_metadata(camera)
        controls = _controls_in_force(camera)
        self._stream = output if output is not None else open(path, "wb")
        self._owns_stream = output is None
        self._channels: dict[str, int] = {}
        self._lock = threading.Lock()  # guards the writer between the two threads
        try:
            self._writer = Writer(
                self._stream,
                compression=CompressionType.ZSTD if compression else CompressionType.NONE,
            )
            self._writer.start(profile="ros2", library=LIBRARY)
            self._register_channels()
            self._write_start_metadata(camera_metadata, controls, attachments)
        except BaseException:
            if self._owns_stream:
                self._stream.close()
            raise
        self._queue: queue.Queue[_QueuedFrame | None] = queue.Queue(maxsize=queue_frames)
        self._intrinsics: dict[tuple[int, int], messages.Intrinsics] = {}
        self.written = 0
        self.dropped = 0
        self._error: BaseException | None = None
        self._closed = False
        self._thread = threading.Thread(target=self._drain, name="quorvan-recorder", daemon=True)
        self._thread.start()
        self._exit_registration = closing.close_at_exit(self)

    def _register_channels(self) -> None:
        schema_ids = {
            schema.name: self._writer.register_schema(
                schema.name, messages.SCHEMA_ENCODING, schema.data
            )
            for schema in (messages.IMAGE_SCHEMA, messages.CAMERA_INFO_SCHEMA)
        }
        for topic in messages.IMAGE_TOPICS:
            self._channels[topic] = self._writer.register_channel(
                topic, messages.MESSAGE_ENCODING, schema_ids[messages.IMAGE_SCHEMA.name]
            )
        self._channels[messages.TOPIC_CAMERA_INFO] = self._writer.register_channel(
            messages.TOPIC_CAMERA_INFO,
            messages.MESSAGE_ENCODING,
            schema_ids[messages.CAMERA_INFO_SCHEMA.name],
        )

    def _write_start_metadata(
        self,
        camera_metadata: dict[str, str],
        controls: dict[str, str],
        attachments: list[tuple[str, str, bytes]],
    ) -> None:
        self._writer.add_metadata("quorvan.camera", camera_metadata)
        self._writer.add_metadata(
            "quorvan.sdk",
            {
                # The package's release; the extension module's own __version__ stays "dev".
                "QuorvanDepthCamera": package_version(),
                "recorder": LIBRARY,
            },
        )
        self._writer.add_metadata("quorvan.controls", controls)
        now = time.time_ns()
        for name, media_type, data in attachments:
            self._writer.add_attachment(now, now, name, media_type, data)

    def set_control(self, control: qdc.TOFControl, value: int) -> qdc.TOFErrorCode:
        """Sets a control on the camera and records the change with its result.

        The camera must be one whose controls can be set (a replayed recording's cannot)."""
        status = cast(ControllableCamera, self._camera).setControl(control, value)
        with self._lock:
            self._writer.add_metadata(
                "quorvan.control_change",
                {
                    "control": control.name,
                    "value": str(value),
                    "status": status.name,
                    "log_time_ns": str(time.time_ns()),
                    "frames_written": str(self.written),
                },
            )
        return status

    # The first name of set_control, mirroring the camera's; applications written
    # against it keep working.
    setControl = set_control

    def write(self, frame: Frame) -> bool:
        """Queues a frame's planes (copied); False when the queue was full and it was dropped."""
        if self._closed:
            raise ValueError("write on a closed recorder")
        self._raise_if_failed()
        stamp_ms = int(frame.getFrameFormat().timestamp)
        if hasattr(frame, "getRawData"):
            planes = {messages.TOPIC_RAW: frame.getRawData()}
        else:
            planes = {
                messages.TOPIC_DEPTH: frame.getDepthData(),
                messages.TOPIC_AMPLITUDE: frame.getAmplitudeData(),
                messages.TOPIC_CONFIDENCE: frame.getConfidenceData(),
            }
        try:
            self._queue.put_nowait(_QueuedFrame(time.time_ns(), stamp_ms, planes))
        except queue.Full:
            self.dropped += 1
            return False
        return True

    def _raise_if_failed(self) -> None:
        if self._error is not None:
            raise RuntimeError(f"recording failed: {self._error}") from self._error

    def _drain(self) -> None:
        # After a write error (a full disk) the thread keeps taking frames off
        # the queue and discards them, so that write() never fills it and
        # close() can always hand over its end marker.
        while True:
            item = self._queue.get()
            if item is None:
                return
            if self._error is not None:
                self.dropped += 1
                continue
            try:
                self._write_frame(item)
                self.written += 1
            except BaseException as error:  # reported by write() and close()
                _log.error("recording failed, frames from now on are dropped: %s", error)
                self._error = error
                self.dropped += 1

    def _write_frame(self, item: _QueuedFrame) -> None:
        # Raw images stack the sub-frames; their camera is the sensor's size.
        width, height = self._sensor_size
        with self._lock:
            for topic, plane in item.planes.items():
                if topic == messages.TOPIC_DEPTH:
                    plane = messages.depth_to_metres(plane)
                if topic != messages.TOPIC_RAW:
                    height, width = plane.shape[-2], plane.shape[-1]
                self._writer.add_message(
                    self._channels[topic],
                    item.log_time_ns,
                    messages.encode_image(plane, item.stamp_ms),
                    item.log_time_ns,
                )
            intrinsics = self._intrinsics.get((width, height))
            if intrinsics is None:
                intrinsics = camera_intrinsics(self._camera, width, height)
                self._intrinsics[(width, height)] = intrinsics
            self._writer.add_message(
                self._channels[messages.TOPIC_CAMERA_INFO],
                item.log_time_ns,
                messages.encode_camera_info(intrinsics, item.stamp_ms),
                item.log_time_ns,
            )

    def close(self) -> None:
        """Writes what is queued, the summary and the index, and closes the file.

        Raises ``RuntimeError`` when writing failed (the file is then incomplete)."""
        if self._closed:
            return
        self._closed = True
        closing.forget(self._exit_registration)
        self._queue.put(None)
        self._thread.join()
        if self._error is None:
            try:
                with self._lock:
                    self._writer.add_metadata(
                        "quorvan.summary",
                        {
                            "frames_written": str(self.written),
                            "frames_dropped": str(self.dropped),
                        },
                    )
                    self._writer.finish()  # type: ignore[no-untyped-call]
            except Exception as error:  # noqa: BLE001 - reported below, like a frame's
                self._error = error
        if self._owns_stream:
            try:
                self._stream.close()
            except OSError as error:
                # The last buffered bytes could not be written either.
                if self._error is None:
                    self._error = error
        self._raise_if_failed()

    def __enter__(self) -> Recorder:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        self.close()


def record_camera(
    camera: FrameSource,
    recorder: Recorder,
    *,
    frames: int | None = None,
    seconds: float | None = None,
    timeout_ms: int = 2000,
    progress: Callable[[int], None] | None = None,
) -> int:
    """Requests frames from a started camera into ``recorder`` until ``frames``
    frames or ``seconds`` have passed; returns the frames handed to the recorder."""
    if frames is None and seconds is None:
        raise ValueError("give frames or seconds")
    deadline = None if seconds is None else time.monotonic() + seconds
    count = misses = 0
    while (frames is None or count < frames) and (deadline is None or time.monotonic() < deadline):
        frame = camera.requestFrame(timeout_ms)
        if frame is None:
            misses += 1
            if misses == 3:
                raise RuntimeError(f"no frame from the camera within {timeout_ms} ms, three times")
            continue
        try:
            recorder.write(frame)
        finally:
            camera.releaseFrame(frame)
        count += 1
        if progress is not None:
            progress(count)
    return count


__all__: list[str] = ["Recorder", "record_camera", "camera_intrinsics"]
