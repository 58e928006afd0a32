"""Recording a camera's frames into an MCAP file with ROS 2 message types.

    with Recorder("session.mcap", camera) as recorder:
        record_camera(camera, recorder, frames=60)

or, as one of the sinks of a :class:`quorvan.stream.FrameStream`::

    recorder = Recorder("session.mcap", camera, planes=("raw", "depth"), namespace="/front")
    with FrameStream(camera, [recorder]):
        ...

What is written. A raw frame (``RawData``) becomes one ``16SC1`` image of the
``raw`` plane; a depth frame (``DepthData``) ``32FC1`` images of the ``depth``
(Z along the optical axis in metres, NaN where invalid, as ROS tools read
depth: :func:`quorvan.conventions.depth_for_ros`), ``amplitude`` and
``confidence`` planes; every frame also gets a ``CameraInfo``. ``planes``
chooses the image planes instead: ``("raw", "depth")`` records a raw camera's
frames and beside them the depth the camera's own processing computes from
them on the host (a native playback camera with the recording's MODE and
RANGE), so one recording serves bit-exact replay and ROS tools alike.

Where. The channels follow :class:`quorvan.conventions.CameraTopics` under
``namespace`` (default ``/quorvan``: ``/quorvan/raw/image_raw``,
``/quorvan/depth/image_raw``, ``/quorvan/depth/camera_info``, ...);
``namespace=None`` keeps the fixed topics of earlier recordings
(``TOPIC_RAW``, ``TOPIC_DEPTH``, ...) for readers that know only those.
Either way every channel names its plane and namespace in its metadata
(``quorvan.plane``, ``quorvan.namespace``) and carries rosbag2's
``offered_qos_profiles`` (sensor data for images, reliable for camera info).

Time. ``header.stamp`` and the MCAP log time are the host's real time at
capture (:attr:`FrameSnapshot.capture_ns`); the camera's own millisecond
timestamp is kept as the message's MCAP publish time (in nanoseconds).

Threads. ``write`` and ``consume`` copy the planes and queue them; a writer
thread of the recorder's own encodes and writes. ``write`` drops a frame that
finds the queue full (counted in ``dropped``) so that a loop that must get
back to ``requestFrame`` is never held up; ``consume``, called by the stream
core on the recorder's own sink thread, waits for room instead, and the core
drops and counts for it. ``set_control`` sets the camera at once and queues
the record of the change, which the writer writes in order with the frames.
The controls in force are written with the first frame, so what the caller
set before (MODE on the 640x480 sensor, which moves RANGE) is what is recorded.

Failure. When writing fails (a full or failing disk) the writer stops, the
queued frames count as dropped, and ``write``, ``consume`` and ``close`` raise
``RuntimeError`` with the cause. ``close`` never waits longer than
``close_timeout_s`` for the writer; a writer stuck in the disk past that is
abandoned and reported.

The output is opened only once the camera, the options and the attachments
were read, so a failed start leaves an existing file untouched.

Metadata records: ``quorvan.camera`` (the camera information), ``quorvan.sdk``
(versions), ``quorvan.controls`` (controls in force at the first frame) and one
``quorvan.control_change`` for every ``Recorder.set_control``; ``quorvan.summary``
(frames written and dropped) at the end. Attachments: the kit configuration and
the calibration file when their paths are given.

Compression: chunks are stored as they are unless ``compression`` asks for
``"zstd"`` or ``"lz4"``. The MCAP writer compresses each chunk on its one
writing thread, and here (``bench/record_rate.py``) the 640x480 sensor in
double-frequency mode, some 220 MB/s of raw and depth at 30 fps, keeps every
frame of a minute uncompressed but only 11 (zstd) or 14 (lz4) of its 30 frames
a second compressed. Compression pays for slower streams and for archiving.

Several cameras: :meth:`Recorder.add_camera` records another camera into the
same file under a namespace of its own; its records carry that namespace
(``quorvan.namespace``) so that replay applies each to its own camera.
"""

from __future__ import annotations

import collections
import logging
import pathlib
import queue
import threading
import time
from collections.abc import Sequence
from dataclasses import dataclass
from types import TracebackType
from typing import IO, Any, Callable, Union, cast

import numpy as np
import numpy.typing as npt
from mcap.writer import CompressionType, Writer

import QuorvanDepthCamera as qdc

from . import closing, conventions, messages
from ._version import package_version
from .camera_like import CameraLike, ControllableCamera, Frame, FrameSource
from .stream.reader import FrameSnapshot, snapshot_frame
from .write_behind import WriteBehindFile

_log = logging.getLogger(__name__)
PathLike = Union[str, pathlib.Path]
LIBRARY = "quorvan-recorder"
# About one second of frames at 30 fps: rides out a busy moment of the disk or CPU.
DEFAULT_QUEUE_FRAMES = 32
# Long enough to write a full queue of large frames to a slow disk.
DEFAULT_CLOSE_TIMEOUT_S = 30.0
IMAGE_PLANES = (
    conventions.PLANE_RAW,
    conventions.PLANE_DEPTH,
    conventions.PLANE_AMPLITUDE,
    conventions.PLANE_CONFIDENCE,
)
_DEPTH_PLANES = IMAGE_PLANES[1:]
_COMPRESSION = {
    "zstd": CompressionType.ZSTD,
    "lz4": CompressionType.LZ4,
    "none": CompressionType.NONE,
}
# How long consume() waits for room at a time before it looks at the recorder's state.
_ROOM_POLL_S = 0.1


def _compression_type(compression: str | bool) -> CompressionType:
    if compression is True:
        return CompressionType.ZSTD
    if compression is False:
        return CompressionType.NONE
    if compression not in _COMPRESSION:
        raise ValueError(f"compression {compression!r}: choose one of {', '.join(_COMPRESSION)}")
    return _COMPRESSION[compression]


def _chosen_planes(planes: Sequence[str] | None) -> tuple[str, ...] | None:
    if planes is None:
        return None
    chosen = tuple(dict.fromkeys(planes))
    unknown = [plane for plane in chosen if plane not in IMAGE_PLANES]
    if unknown or not chosen:
        raise ValueError(f"planes {tuple(planes)!r}: give one or more of {', '.join(IMAGE_PLANES)}")
    return chosen


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


class HostDepth:
    """Depth, amplitude and confidence of raw frames, computed on the host by the
    camera's own processing (a native playback camera fed one raw frame at a time)."""

    # The controls the processing depends on, in the order they must be set.
    CONTROLS = ("FMT_WIDTH", "FMT_HEIGHT", "MODE", "RANGE")
    _WAIT_MS = 5000

    def __init__(self, info: qdc.QuorvanInfo, controls: dict[str, str]) -> None:
        self._native = qdc.QuorvanPlaybackCamera(
            int(info.width), int(info.height), int(info.bit_width), int(info.bpp)
        )
        if self._native.open() != qdc.TOFErrorCode.QuorvanSuccess:
            raise RuntimeError("cannot open the processing for depth from raw frames")
        for name in self.CONTROLS:
            if name in controls:
                self.set_control(name, int(controls[name]))
        if self._native.start(qdc.TOFOutput.DEPTH) != qdc.TOFErrorCode.QuorvanSuccess:
            self._native.close()
            raise RuntimeError("cannot start the processing for depth from raw frames")

    def set_control(self, name: str, value: int) -> None:
        if name in self.CONTROLS:
            # A control the processing refuses (RANGE, which follows MODE on
            # the 640x480 sensor) leaves it as it was, as it leaves the camera.
            self._native.setControl(qdc.TOFControl.__members__[name], value)

    def process(self, raw: npt.NDArray[np.int16], stamp_ms: int) -> FrameSnapshot:
        """The depth planes of ``raw``; ``RuntimeError`` when the processing gives none."""
        status = self._native.pushRaw(raw, stamp_ms, self._WAIT_MS)
        if status != qdc.TOFErrorCode.QuorvanSuccess:
            raise RuntimeError(f"depth from a raw frame: the processing refused it ({status.name})")
        frame = self._native.requestFrame(self._WAIT_MS)
        if frame is None:
            raise RuntimeError("depth from a raw frame: the processing gave no frame")
        try:
            return snapshot_frame(frame, 0)
        finally:
            self._native.releaseFrame(frame)

    def close(self) -> None:
        self._native.stop()
        self._native.close()


@dataclass
class _FrameItem:
    track: _CameraTrack
    snapshot: FrameSnapshot
    controls: dict[str, str] | None  # the controls in force, with the first frame only


@dataclass
class _ControlItem:
    track: _CameraTrack
    metadata: dict[str, str]
    name: str
    value: int


@dataclass
class _MetadataItem:
    """Records written in order with the frames (a camera joining the recording)."""

    track: _CameraTrack
    records: list[tuple[str, dict[str, str]]]


_Item = Union[_FrameItem, _ControlItem, _MetadataItem]


@dataclass
class _Encoded:
    """A frame's or a control change's records, ready for the MCAP writer."""

    track: _CameraTrack
    metadata: list[tuple[str, dict[str, str]]]
    messages: list[tuple[str, int, bytes, int]]  # plane, log time, CDR bytes, publish time
    is_frame: bool


class _WriteQueue:
    """The writer's queue: frames up to a bound, control records always, in order."""

    def __init__(self, capacity: int) -> None:
        self._condition = threading.Condition()  # guards everything below
        self._items: collections.deque[_Item] = collections.deque()
        self._frames = 0
        self._capacity = capacity
        self._finishing = False
        self._failed = False

    def put_frame(self, item: _FrameItem, wait_s: float = 0.0) -> bool:
        """Queues ``item`` if there is room within ``wait_s``; False if not (or failed)."""
        with self._condition:
            if self._frames >= self._capacity and wait_s > 0:
                self._condition.wait_for(
                    lambda: self._frames < self._capacity or self._failed, wait_s
                )
            if self._frames >= self._capacity or self._failed:
                return False
            self._items.append(item)
            self._frames += 1
            self._condition.notify_all()
            return True

    def put_control(self, item: _ControlItem | _MetadataItem) -> None:
        with self._condition:
            self._items.append(item)
            self._condition.notify_all()

    def take(self) -> _Item | None:
        """The next item; None once finishing and empty."""
        with self._condition:
            while not self._items and not self._finishing:
                self._condition.wait()
            if not self._items:
                return None
            item = self._items.popleft()
            if isinstance(item, _FrameItem):
                self._frames -= 1
            self._condition.notify_all()
            return item

    def finish(self) -> None:
        with self._condition:
            self._finishing = True
            self._condition.notify_all()

    def fail(self) -> int:
        """Refuses frames from now on; returns the frames that were still queued."""
        with self._condition:
            self._failed = True
            self._finishing = True
            dropped = self._frames
            self._items.clear()
            self._frames = 0
            self._condition.notify_all()
            return dropped


class _Channels:
    """The MCAP channels of one recording, registered as their planes first appear."""

    def __init__(self, writer: Writer, namespace: str | None) -> None:
        self._writer = writer
        self._namespace = namespace
        self._topics = conventions.CameraTopics.for_namespace(
            namespace or conventions.DEFAULT_NAMESPACE
        )
        self.frame_id = messages.FRAME_ID if namespace is None else self._topics.frame_id
        self._schemas = {
            schema.name: writer.register_schema(schema.name, messages.SCHEMA_ENCODING, schema.data)
            for schema in (messages.IMAGE_SCHEMA, messages.CAMERA_INFO_SCHEMA)
        }
        self._ids: dict[str, int] = {}

    def topic(self, plane: str) -> str:
        if self._namespace is None:
            return conventions.LEGACY_TOPICS[plane]
        return self._topics.for_plane(plane)

    def id(self, plane: str) -> int:
        channel = self._ids.get(plane)
        if channel is None:
            schema = (
                messages.CAMERA_INFO_SCHEMA
                if plane == conventions.PLANE_CAMERA_INFO
                else messages.IMAGE_SCHEMA
            )
            metadata = self._topics.channel_metadata(plane)
            metadata["offered_qos_profiles"] = conventions.offered_qos_profiles(plane)
            metadata[conventions.METADATA_DEVICE_TIME] = conventions.DEVICE_TIME_IN_PUBLISH_TIME
            channel = self._writer.register_channel(
                self.topic(plane), messages.MESSAGE_ENCODING, self._schemas[schema.name], metadata
            )
            self._ids[plane] = channel
        return channel


class _CameraTrack:
    """One camera of a recording: its channels under its namespace, the planes it
    records, the controls it had at its first frame and the depth computed from
    its raw frames. Encoding runs on the recorder's encoder thread only."""

    def __init__(
        self,
        writer: Writer,
        camera: CameraLike,
        namespace: str | None,
        planes: tuple[str, ...] | None,
    ) -> None:
        self.camera = camera
        self.namespace = namespace
        self.info = camera.getCameraInfo()
        self.planes = planes
        self.channels = _Channels(writer, namespace)
        self.written = 0  # frames of this camera written, for its control records
        self.closed = False
        self._intrinsics: dict[tuple[int, ...], messages.Intrinsics] = {}
        self._host_depth: HostDepth | None = None
        self._controls: dict[str, str] | None = None  # as the first frame found them
        self._controls_taken = False
        self._take_lock = threading.Lock()  # one first frame, whichever thread queues it
        self._warned_no_raw = False

    def tagged(self, values: dict[str, str]) -> dict[str, str]:
        """``values`` naming this camera's namespace, so that a reader of a file
        holding several cameras applies each record to its own camera."""
        if self.namespace is not None:
            values[conventions.METADATA_NAMESPACE] = self.namespace
        return values

    def camera_metadata(self) -> dict[str, str]:
        return self.tagged(_camera_metadata(self.camera))

    def frame_item(self, snapshot: FrameSnapshot) -> _FrameItem:
        controls = None
        if not self._controls_taken:
            with self._take_lock:
                if not self._controls_taken:
                    self._controls_taken = True
                    controls = _controls_in_force(self.camera)
        return _FrameItem(self, snapshot, controls)

    def closing_records(self) -> list[tuple[str, dict[str, str]]]:
        """What a camera that never delivered a frame still records at the end."""
        if self._controls_taken:
            return []
        return [("quorvan.controls", self.tagged(_controls_in_force(self.camera)))]

    def encode(self, item: _Item) -> _Encoded:
        if isinstance(item, _MetadataItem):
            return _Encoded(self, item.records, [], False)
        if isinstance(item, _ControlItem):
            if self._host_depth is not None:
                self._host_depth.set_control(item.name, item.value)
            return _Encoded(self, [("quorvan.control_change", item.metadata)], [], False)
        return self._encode_frame(item)

    def _planes_of(self, snapshot: FrameSnapshot) -> dict[str, npt.NDArray[Any]]:
        wanted = self.planes
        if snapshot.raw is not None:
            if wanted is None:
                return {conventions.PLANE_RAW: snapshot.raw}
            planes: dict[str, npt.NDArray[Any]] = {}
            if conventions.PLANE_RAW in wanted:
                planes[conventions.PLANE_RAW] = snapshot.raw
            if any(plane in wanted for plane in _DEPTH_PLANES):
                computed = self._depth_from_raw(snapshot)
                planes.update(self._depth_planes(computed, wanted))
            return planes
        if wanted is not None and conventions.PLANE_RAW in wanted and not self._warned_no_raw:
            self._warned_no_raw = True
            _log.warning(
                "raw frames were asked for but the camera delivers depth: start it with RAW"
            )
        return self._depth_planes(snapshot, wanted or _DEPTH_PLANES)

    @staticmethod
    def _depth_planes(
        snapshot: FrameSnapshot, wanted: Sequence[str]
    ) -> dict[str, npt.NDArray[Any]]:
        available = {
            conventions.PLANE_DEPTH: snapshot.depth,
            conventions.PLANE_AMPLITUDE: snapshot.amplitude,
            conventions.PLANE_CONFIDENCE: snapshot.confidence,
        }
        return {
            plane: array
            for plane, array in available.items()
            if plane in wanted and array is not None
        }

    def _depth_from_raw(self, snapshot: FrameSnapshot) -> FrameSnapshot:
        assert snapshot.raw is not None
        if self._host_depth is None:
            self._host_depth = HostDepth(self.info, self._controls or {})
        return self._host_depth.process(snapshot.raw, snapshot.timestamp)

    def _camera_info_shape(self, planes: dict[str, npt.NDArray[Any]]) -> tuple[int, ...]:
        for plane in _DEPTH_PLANES:
            if plane in planes:
                return tuple(planes[plane].shape)
        # Raw images stack the sub-frames; their camera is the output format's size.
        controls = self._controls or {}
        width = int(controls.get("FMT_WIDTH", 0)) or int(self.info.width)
        height = int(controls.get("FMT_HEIGHT", 0)) or int(self.info.height)
        return (height, width)

    def _encode_frame(self, item: _FrameItem) -> _Encoded:
        encoded = _Encoded(self, [], [], True)
        if item.controls is not None:
            self._controls = dict(item.controls)
            encoded.metadata.append(("quorvan.controls", self.tagged(item.controls)))
        snapshot = item.snapshot
        planes = self._planes_of(snapshot)
        stamp_ns = snapshot.capture_ns
        device_ns = max(0, snapshot.timestamp) * 1_000_000
        frame_id = self.channels.frame_id
        shape = self._camera_info_shape(planes)
        intrinsics = self._intrinsics.get(shape)
        if intrinsics is None:
            intrinsics = conventions.camera_intrinsics(self.camera, shape)
            self._intrinsics[shape] = intrinsics
        for plane, array in planes.items():
            if plane == conventions.PLANE_DEPTH:
                array = conventions.depth_for_ros(array, intrinsics)
            encoded.messages.append(
                (plane, stamp_ns, messages.encode_image_at(array, stamp_ns, frame_id), device_ns)
            )
        info = messages.encode_camera_info_at(intrinsics, stamp_ns, frame_id)
        encoded.messages.append((conventions.PLANE_CAMERA_INFO, stamp_ns, info, device_ns))
        return encoded

    def close(self) -> None:
        if self._host_depth is not None:
            self._host_depth.close()
            self._host_depth = None


class Recorder:
    """Writes a camera's frames into an MCAP file from a writer thread of its own.

    Also a :class:`quorvan.stream.FrameSink` (``name``, ``consume``, ``close``).
    More cameras join the same file under namespaces of their own with
    :meth:`add_camera`."""

    def __init__(
        self,
        path: PathLike,
        camera: CameraLike,
        *,
        queue_frames: int = DEFAULT_QUEUE_FRAMES,
        compression: str | bool = "none",
        planes: Sequence[str] | None = None,
        namespace: str | None = conventions.DEFAULT_NAMESPACE,
        kit_config: PathLike | None = None,
        calibration: PathLike | None = None,
        output: Any | None = None,
        close_timeout_s: float = DEFAULT_CLOSE_TIMEOUT_S,
        name: str = "recorder",
    ) -> None:
        if isinstance(queue_frames, bool) or not isinstance(queue_frames, int) or queue_frames < 1:
            # An unbounded queue would let a slow disk fill memory.
            raise ValueError(
                f"queue_frames must be a whole number of at least 1, not {queue_frames!r}"
            )
        compression_type = _compression_type(compression)
        chosen_planes = _chosen_planes(planes)
        if namespace is not None:
            namespace = conventions.normalise_namespace(namespace)
        self._name = name
        self._close_timeout_s = float(close_timeout_s)
        # Everything that can fail is read before the output is opened: opening
        # truncates, and a failed start must leave an existing file as it was.
        attachments = _read_attachments(kit_config, calibration)
        camera_metadata = _camera_metadata(camera)
        self._stream = output if output is not None else open(path, "wb")
        self._owns_stream = output is None
        # The disk's writes overlap with encoding the next frame.
        self._file = WriteBehindFile(self._stream, timeout_s=self._close_timeout_s)
        try:
            # The MCAP writer needs only write, tell and flush of a file.
            self._writer = Writer(cast(IO[Any], self._file), compression=compression_type)
            self._writer.start(profile="ros2", library=LIBRARY)
            self._track = _CameraTrack(self._writer, camera, namespace, chosen_planes)
            self._write_start_metadata(self._track.tagged(camera_metadata), attachments)
        except BaseException:
            self._file.close()
            if self._owns_stream:
                self._stream.close()
            raise
        self._tracks = [self._track]
        self._tracks_lock = threading.Lock()  # guards _tracks against add_camera
        self._queue = _WriteQueue(queue_frames)
        self.written = 0
        self.dropped = 0
        self._error: BaseException | None = None
        self._closed = False
        self._drop_lock = threading.Lock()  # guards dropped and the first _error
        self._handoff: queue.Queue[_Encoded | None] = queue.Queue(maxsize=2)
        self._encoder = threading.Thread(
            target=self._encode_loop, name="quorvan-recorder-encode", daemon=True
        )
        self._mcap_writer = threading.Thread(
            target=self._write_loop, name="quorvan-recorder-write", daemon=True
        )
        self._encoder.start()
        self._mcap_writer.start()
        self._exit_registration = closing.close_at_exit(self)

    @property
    def name(self) -> str:
        return self._name

    @property
    def close_timeout_s(self) -> float:
        """How long ``close`` may wait for the writer: what a stream waits for it at close."""
        return self._close_timeout_s

    @property
    def namespace(self) -> str | None:
        """The first camera's ROS namespace (None: the fixed topics of earlier recordings)."""
        return self._track.namespace

    def add_camera(
        self,
        camera: CameraLike,
        namespace: str,
        *,
        planes: Sequence[str] | None = None,
        name: str | None = None,
    ) -> RecordedCamera:
        """Records ``camera`` into the same file under ``namespace``; returns the
        sink that takes its frames (``consume``, ``write``, ``set_control``).

        Each camera's channels, camera information and control records carry
        its namespace; replay picks one with ``namespace=``. Raises
        ``ValueError`` for a namespace already recorded here, or when the first
        camera has no namespace (the fixed topics hold one camera only)."""
        if self._closed:
            raise ValueError("add_camera on a closed recorder")
        self._raise_if_failed()
        chosen_planes = _chosen_planes(planes)
        normalised = conventions.normalise_namespace(namespace)
        with self._tracks_lock:
            if self._closed:
                raise ValueError("add_camera on a closed recorder")
            taken = [track.namespace for track in self._tracks]
            if None in taken:
                raise ValueError(
                    "this recording uses the fixed topics of a single camera: "
                    "give the first camera a namespace to record several"
                )
            if normalised in taken:
                raise ValueError(f"namespace {normalised} is already recorded in this file")
            track = _CameraTrack(self._writer, camera, normalised, chosen_planes)
            self._tracks.append(track)
        # The writer thread owns the MCAP writer: the camera's record goes in
        # order with the frames.
        self._queue.put_control(_MetadataItem(track, [("quorvan.camera", track.camera_metadata())]))
        return RecordedCamera(self, track, name or f"{self._name} {normalised}")

    def _write_start_metadata(
        self, camera_metadata: dict[str, str], attachments: list[tuple[str, str, bytes]]
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
        now = time.time_ns()
        for name, media_type, data in attachments:
            self._writer.add_attachment(now, now, name, media_type, data)

    def set_control(self, control: qdc.TOFControl, value: int) -> qdc.TOFErrorCode:
        """Sets a control on the camera and queues the record of the change with its result.

        The camera must be one whose controls can be set (a replayed recording's cannot)."""
        return self._set_control(self._track, control, value)

    # The first name of set_control, mirroring the camera's; applications written
    # against it keep working.
    setControl = set_control

    def _set_control(
        self, track: _CameraTrack, control: qdc.TOFControl, value: int
    ) -> qdc.TOFErrorCode:
        if self._closed:
            raise ValueError("set_control on a closed recorder")
        self._raise_if_failed()
        status = cast(ControllableCamera, track.camera).setControl(control, value)
        metadata = track.tagged(
            {
                "control": control.name,
                "value": str(value),
                "status": status.name,
                "log_time_ns": str(time.time_ns()),
            }
        )
        self._queue.put_control(_ControlItem(track, metadata, control.name, int(value)))
        return status

    def write(self, frame: Frame) -> bool:
        """Queues a frame's planes (copied); False when the queue was full and it was dropped."""
        return self._write_frame(self._track, frame)

    def _write_frame(self, track: _CameraTrack, frame: Frame) -> bool:
        self._refuse_closed(track, "write")
        if self._error is not None or self._file.error is not None:
            self._count_dropped(1)  # frames after a failure are dropped, and said so
            self._raise_if_failed()
        snapshot = snapshot_frame(frame, self.written + self.dropped + 1)
        if not self._queue.put_frame(track.frame_item(snapshot)):
            self._raise_if_failed()
            self._count_dropped(1)
            return False
        return True

    def consume(self, snapshot: FrameSnapshot) -> None:
        """Queues a frame of the stream core, waiting for room while the writer is busy."""
        self._consume(self._track, snapshot)

    def _consume(self, track: _CameraTrack, snapshot: FrameSnapshot) -> None:
        self._refuse_closed(track, "consume")
        item = track.frame_item(snapshot)
        while True:
            self._refuse_closed(track, "consume")
            self._raise_if_failed()
            if self._queue.put_frame(item, _ROOM_POLL_S):
                return

    def _refuse_closed(self, track: _CameraTrack, what: str) -> None:
        if self._closed:
            raise ValueError(f"{what} on a closed recorder")
        if track.closed:
            raise ValueError(f"{what} on a camera whose recording was closed")

    def _raise_if_failed(self) -> None:
        # The disk's error is seen as soon as the disk gives it, before the
        # writer thread gets to its next write.
        error = self._error or self._file.error
        if error is not None:
            raise RuntimeError(f"recording failed: {error}") from error

    def _count_dropped(self, frames: int) -> None:
        with self._drop_lock:
            self.dropped += frames

    def _fail(self, error: BaseException, frames_lost: int) -> None:
        with self._drop_lock:
            if self._error is None:
                _log.error("recording failed, frames from now on are dropped: %s", error)
                self._error = error
                frames_lost += self._queue.fail()
            self.dropped += frames_lost

    # Two threads write: one computes and encodes each frame's messages, the
    # other hands them to the MCAP writer (which compresses the chunks), so
    # that the two halves of the work overlap; a small queue between them
    # holds back the first when the second falls behind.

    def _encode_loop(self) -> None:
        while True:
            item = self._queue.take()
            if item is None:
                self._hand_over(None)
                return
            try:
                encoded = item.track.encode(item)
            except BaseException as error:  # reported by write(), consume() and close()
                self._fail(error, isinstance(item, _FrameItem))
                self._hand_over(None)
                return
            if not self._hand_over(encoded):
                self._count_dropped(encoded.is_frame)
                return

    def _hand_over(self, encoded: _Encoded | None) -> bool:
        while self._error is None:
            try:
                self._handoff.put(encoded, timeout=_ROOM_POLL_S)
                return True
            except queue.Full:
                continue
        return False

    def _write_loop(self) -> None:
        while True:
            encoded = self._handoff.get()
            if encoded is None:
                return
            try:
                self._write(encoded)
            except BaseException as error:  # reported by write(), consume() and close()
                self._fail(error, encoded.is_frame)
                break
        # After a failure the encoder may still be handing over frames.
        while True:
            try:
                leftover = self._handoff.get(timeout=_ROOM_POLL_S)
            except queue.Empty:
                if not self._encoder.is_alive():
                    return
                continue
            if leftover is None:
                return
            self._count_dropped(leftover.is_frame)

    def _write(self, encoded: _Encoded) -> None:
        track = encoded.track
        for name, metadata in encoded.metadata:
            if name == "quorvan.control_change":
                metadata["frames_written"] = str(track.written)
            self._writer.add_metadata(name, metadata)
        for plane, log_time_ns, data, publish_time_ns in encoded.messages:
            self._writer.add_message(track.channels.id(plane), log_time_ns, data, publish_time_ns)
        if encoded.is_frame:
            track.written += 1
            self.written += 1

    def close(self) -> None:
        """Writes what is queued, the summary and the index, and closes the file.

        Raises ``RuntimeError`` when writing failed (the file is then incomplete)
        or the writer did not finish within ``close_timeout_s``."""
        with self._tracks_lock:  # no camera joins once closing began
            if self._closed:
                return
            self._closed = True
        closing.forget(self._exit_registration)
        self._queue.finish()
        deadline = time.monotonic() + self._close_timeout_s
        for thread in (self._encoder, self._mcap_writer):
            thread.join(max(0.0, deadline - time.monotonic()))
        if self._encoder.is_alive() or self._mcap_writer.is_alive():
            # The disk stalls: the writer stays behind on its daemon thread and
            # the file is left as it is, incomplete.
            self._error = self._error or TimeoutError(
                f"the writer did not finish within {self._close_timeout_s:g} s"
            )
            self._raise_if_failed()
        for track in self._tracks:
            track.close()
        if self._error is None:
            try:
                for track in self._tracks:
                    for name, metadata in track.closing_records():
                        self._writer.add_metadata(name, metadata)
                self._writer.add_metadata(
                    "quorvan.summary",
                    {"frames_written": str(self.written), "frames_dropped": str(self.dropped)},
                )
                self._writer.finish()  # type: ignore[no-untyped-call]
                self._file.drain()
            except Exception as error:  # noqa: BLE001 - reported below, like a frame's
                self._error = error
        # After a failure the disk may hang in its last write: nothing more to wait for.
        self._file.close(wait=self._error is None)
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


class RecordedCamera:
    """A further camera of a :class:`Recorder`'s file (:meth:`Recorder.add_camera`).

    A :class:`quorvan.stream.FrameSink` like the recorder itself: feed it from
    the camera's own :class:`~quorvan.stream.FrameStream`, or hand it frames
    with :meth:`write`. Its :meth:`close` ends this camera's part only; the
    file is finished by the recorder's ``close``, which should come after the
    streams of every camera were closed (nested ``with`` blocks do that)."""

    def __init__(self, recorder: Recorder, track: _CameraTrack, name: str) -> None:
        self._recorder = recorder
        self._track = track
        self._name = name

    @property
    def name(self) -> str:
        return self._name

    @property
    def namespace(self) -> str:
        assert self._track.namespace is not None
        return self._track.namespace

    @property
    def written(self) -> int:
        """This camera's frames written so far."""
        return self._track.written

    @property
    def close_timeout_s(self) -> float:
        return self._recorder.close_timeout_s

    def consume(self, snapshot: FrameSnapshot) -> None:
        self._recorder._consume(self._track, snapshot)

    def write(self, frame: Frame) -> bool:
        return self._recorder._write_frame(self._track, frame)

    def set_control(self, control: qdc.TOFControl, value: int) -> qdc.TOFErrorCode:
        return self._recorder._set_control(self._track, control, value)

    def close(self) -> None:
        """No more frames of this camera; the file stays open for the others."""
        self._track.closed = True


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


__all__: list[str] = [
    "DEFAULT_CLOSE_TIMEOUT_S",
    "DEFAULT_QUEUE_FRAMES",
    "HostDepth",
    "IMAGE_PLANES",
    "RecordedCamera",
    "Recorder",
    "record_camera",
]
