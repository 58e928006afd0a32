"""Reading a Quorvan recording: its metadata, its controls over time and its raw frames.

A recording comes from a disk, a copy or another tool, so nothing in it is
trusted. Two kinds of damage are told apart:

- damage to the file's structure (a cut, a flipped bit in a compressed chunk,
  bytes that are not MCAP): reading stops there, :attr:`RecordingIndex.truncated`
  says so when it is found while opening, and a file with nothing usable
  before the damage is refused with ``ValueError``;
- damage to one raw frame's message (data shorter than declared, a step
  larger than the data, an unknown encoding, an absurd height): that frame is
  reported as damaged and the frames after it still play.

Finding frames. A complete file is read through its summary: the chunk
indexes and, per chunk, the message index of the raw channel give every raw
frame's log time and place without reading a frame, so :class:`RawFrameReader`
starts a pass at any frame by reading only the chunk that holds it. A file
without a usable summary (the recorder was killed) is scanned once from the
start instead, and a pass that starts later skips the frames before it
without decoding them. Frames are numbered and timed by their MCAP log time,
the time every MCAP tool seeks on.

Channels. The raw frames are on the channel whose ``quorvan.plane`` metadata
is ``raw`` (recordings that name their topics under a ROS namespace; in a
recording of several cameras, the first one's or that of the namespace
asked for), else on :data:`~quorvan.messages.TOPIC_RAW` (recordings made
before channels carried that metadata). A recording may hold depth planes
beside the raw frames; they are for ROS tools and are not read here.

Controls. ``quorvan.controls`` records hold the controls in force: one without
a ``log_time_ns`` applies from the first frame (the last such record in the
file wins, so a snapshot taken when the first frame was written overrides the
one taken when the recorder was created); one with ``log_time_ns`` applies
from that log time on. Each successful ``quorvan.control_change`` applies
from its ``log_time_ns`` (from frame ``frames_written`` in a record without
it). :meth:`ControlTimeline.at` answers the controls in force at a frame.

Metadata the playback depends on (the camera's size and sample format, the
controls of the processing) must be whole numbers in their range, else the
file is refused with ``ValueError`` naming the field.
"""

from __future__ import annotations

import bisect
import logging
import pathlib
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from typing import IO, Any, Union

import numpy as np
import numpy.typing as npt
from mcap.reader import McapReader, make_reader
from mcap.records import Channel, Footer, Message, MessageIndex, Metadata
from mcap.stream_reader import StreamReader
from mcap.summary import Summary

from . import messages
from .conventions import (
    DEVICE_TIME_IN_PUBLISH_TIME,
    LEGACY_TOPICS,
    METADATA_DEVICE_TIME,
    METADATA_NAMESPACE,
    METADATA_PLANE,
    PLANE_RAW,
)

_log = logging.getLogger(__name__)

PathLike = Union[str, pathlib.Path]
RawFrame = tuple[int, npt.NDArray[np.int16]]

_INT32 = (-(2**31), 2**31 - 1)
# Bounds of the recorded sensor the playback camera is built for; a sensor
# outside them is damage, not a camera. The 640x480 sensor's raw capture is
# 4810 rows high, hence the generous height.
CAMERA_FIELD_RANGES: dict[str, tuple[int, int]] = {
    "width": (1, 65535),
    "height": (1, 65535),
    "bit_width": (1, 16),
    "bpp": (1, 4),
}
# Samples of one raw capture, far above any sensor's (640 x 4810).
_MAX_CAPTURE_SAMPLES = 1 << 23
_NEVER = 2**63


@dataclass
class ControlTimeline:
    """The recorded controls: those in force at the first frame, then each change by log time."""

    initial: dict[str, str] = field(default_factory=dict)
    # (log time in ns, controls set then), ordered by time; equal times keep file order.
    changes: list[tuple[int, dict[str, str]]] = field(default_factory=list)

    def at(self, log_time_ns: int) -> dict[str, str]:
        """The controls in force for a frame logged at ``log_time_ns``."""
        values = dict(self.initial)
        end = bisect.bisect_right([time for time, _ in self.changes], log_time_ns)
        for _, change in self.changes[:end]:
            values.update(change)
        return values

    def change_times(self) -> list[int]:
        return [time for time, _ in self.changes]


@dataclass
class RecordingIndex:
    """What opening a recording found: its metadata, controls and raw frames' log times."""

    camera: dict[str, str] = field(default_factory=dict)
    timeline: ControlTimeline = field(default_factory=ControlTimeline)
    raw_log_times_ns: list[int] = field(default_factory=list)
    raw_topic: str = messages.TOPIC_RAW
    # Recordings that stamp headers with host time keep the camera's own
    # timestamp as each message's publish time (their channels say so);
    # earlier ones carried the camera's timestamp in the header.
    device_time_in_publish_time: bool = False
    # True when the frames are found through the file's summary, False when
    # every pass scans the file from its start.
    indexed: bool = False
    truncated: bool = False

    @property
    def controls(self) -> dict[str, str]:
        """The controls in force at the first frame."""
        return self.timeline.initial


@dataclass(frozen=True)
class DamagedFrame:
    """A raw frame's message that cannot be decoded, and why."""

    number: int
    reason: str


def metadata_int(values: dict[str, str], name: str, bounds: tuple[int, int], what: str) -> int:
    """``values[name]`` as an integer within ``bounds``; ``ValueError`` naming it otherwise."""
    text = values.get(name)
    try:
        number = int(str(text).strip())
    except ValueError:
        raise ValueError(f"{what} {name} is {text!r}, not a whole number") from None
    if not bounds[0] <= number <= bounds[1]:
        raise ValueError(f"{what} {name} {number} is outside {bounds[0]}..{bounds[1]}")
    return number


class _RawChannel:
    """Picks the channel of the raw frames: the first raw one (of ``namespace``
    when given); a recording of several cameras holds one per namespace."""

    def __init__(self, namespace: str | None) -> None:
        self._namespace = namespace
        self.id: int | None = None
        self.topic = LEGACY_TOPICS[PLANE_RAW]
        self.device_time_in_publish_time = False
        self.camera_namespace: str | None = None  # the chosen channel's

    def owner(self) -> str | None:
        """The namespace whose records describe the chosen camera (None: any)."""
        return self.camera_namespace if self.id is not None else self._namespace

    def consider(self, channel: Channel) -> bool:
        """True when ``channel`` is the raw channel (choosing it if none was yet)."""
        if self.id is not None:
            return channel.id == self.id
        plane = channel.metadata.get(METADATA_PLANE)
        if plane is None:
            # Recordings made before channels named their plane: one camera,
            # on the fixed topic.
            raw = channel.topic == LEGACY_TOPICS[PLANE_RAW] and self._namespace is None
        else:
            raw = plane == PLANE_RAW and self._namespace in (
                None,
                channel.metadata.get(METADATA_NAMESPACE),
            )
        if raw:
            self.id, self.topic = channel.id, channel.topic
            self.camera_namespace = channel.metadata.get(METADATA_NAMESPACE)
            self.device_time_in_publish_time = (
                channel.metadata.get(METADATA_DEVICE_TIME) == DEVICE_TIME_IN_PUBLISH_TIME
            )
        return raw


def _optional_int(text: str | None) -> int | None:
    try:
        return int(str(text).strip()) if text is not None else None
    except ValueError:
        return None


class _TimelineBuilder:
    """Collects the control records in file order; the frames' times place the dated ones."""

    def __init__(self) -> None:
        self.initial: dict[str, str] = {}
        self._dated: list[tuple[int, dict[str, str]]] = []
        self._by_frame: list[tuple[int, dict[str, str]]] = []

    def add(self, name: str, values: dict[str, str]) -> None:
        if name == "quorvan.controls":
            when = _optional_int(values.pop("log_time_ns", None))
            values.pop("frames_written", None)
            if when is None:
                self.initial = values
            else:
                self._dated.append((when, values))
        elif name == "quorvan.control_change":
            self._add_change(values)

    def _add_change(self, change: dict[str, str]) -> None:
        control, value = change.get("control"), change.get("value")
        if control is None or value is None:
            _log.warning(
                "a quorvan.control_change record without its control or value is ignored: %r",
                change,
            )
            return
        if change.get("status") != "QuorvanSuccess":
            return
        when = _optional_int(change.get("log_time_ns"))
        if when is not None:
            self._dated.append((when, {control: value}))
        else:
            self._by_frame.append(
                (_optional_int(change.get("frames_written")) or 0, {control: value})
            )

    def build(self, frame_times: list[int]) -> ControlTimeline:
        changes = list(self._dated)
        for frame, values in self._by_frame:
            changes.append((frame_times[frame] if frame < len(frame_times) else _NEVER, values))
        changes.sort(key=lambda change: change[0])  # stable: equal times keep file order
        timeline = ControlTimeline(dict(self.initial), changes)
        if frame_times:
            # What was set before the first frame was in force for it.
            timeline.initial = timeline.at(frame_times[0])
            timeline.changes = [change for change in changes if change[0] > frame_times[0]]
        return timeline


def _read_record(stream: IO[bytes], offset: int) -> object:
    stream.seek(offset)
    return next(iter(StreamReader(stream, skip_magic=True).records))


def _index_from_summary(
    stream: IO[bytes], reader: McapReader, namespace: str | None
) -> RecordingIndex | None:
    """The index of a complete file from its summary, or None when it has no usable one."""
    summary: Summary | None = reader.get_summary()
    if summary is None or not summary.chunk_indexes:
        return None
    raw = _RawChannel(namespace)
    for _, channel in sorted(summary.channels.items()):
        raw.consider(channel)
    index = RecordingIndex(
        indexed=True,
        raw_topic=raw.topic,
        device_time_in_publish_time=raw.device_time_in_publish_time,
    )
    times: list[int] = []
    for chunk in summary.chunk_indexes:
        if not chunk.message_index_offsets:
            return None  # a chunk without message indexes: only a scan finds its frames
        if raw.id in chunk.message_index_offsets:
            record = _read_record(stream, chunk.message_index_offsets[raw.id])
            if not isinstance(record, MessageIndex):
                return None
            times.extend(time for time, _ in record.records)
    times.sort()
    index.raw_log_times_ns = times
    _apply_metadata(index, list(reader.iter_metadata()), raw.owner(), times)
    return index


def _apply_metadata(
    index: RecordingIndex,
    records: list[Metadata],
    namespace: str | None,
    frame_times: list[int],
) -> None:
    """The camera's information and its control timeline from ``records``.

    In a recording of several cameras each record names its camera's
    namespace; those of the other cameras are left out. Records that name
    none (recordings of one camera made before) apply to the only camera."""
    timeline = _TimelineBuilder()
    for record in records:
        values = dict(record.metadata)
        owner = values.pop(METADATA_NAMESPACE, None)
        if owner is not None and namespace is not None and owner != namespace:
            continue
        if record.name == "quorvan.camera":
            index.camera = values
        else:
            timeline.add(record.name, values)
    index.timeline = timeline.build(frame_times)


def _index_by_scan(stream: IO[bytes], path: PathLike, namespace: str | None) -> RecordingIndex:
    """The index of a file read from its start, as far as its structure holds."""
    index = RecordingIndex()
    records: list[Metadata] = []
    raw = _RawChannel(namespace)
    seen_footer = False
    stream.seek(0)
    try:
        for record in StreamReader(stream, skip_magic=False).records:
            if isinstance(record, Channel):
                if raw.consider(record):
                    index.raw_topic = record.topic
                    index.device_time_in_publish_time = raw.device_time_in_publish_time
            elif isinstance(record, Message) and record.channel_id == raw.id:
                index.raw_log_times_ns.append(record.log_time)
            elif isinstance(record, Metadata):
                records.append(record)
            elif isinstance(record, Footer):
                seen_footer = True
    # The reader and its decompressors raise their own errors for damaged
    # bytes (McapError, EOFError, struct.error, the compressors' errors); all
    # of them mean the same here: the file's structure ends at this point.
    except Exception as error:  # noqa: BLE001
        if not index.raw_log_times_ns and not records:
            raise ValueError(f"{path} is not an MCAP recording ({error})") from None
        _log.debug(
            "%s is damaged after %d raw frames: %s", path, len(index.raw_log_times_ns), error
        )
        index.truncated = True
    if not seen_footer:
        index.truncated = True
    # A pass reads frames in file order; so does the index.
    _apply_metadata(index, records, raw.owner(), sorted(index.raw_log_times_ns))
    return index


def open_recording(
    path: PathLike, namespace: str | None = None
) -> tuple[RecordingIndex, RawFrameReader]:
    """Indexes a recording; returns the index and a reader of its frames, which
    holds the file open until closed. ``namespace`` picks a camera's raw
    frames in a recording of several (default: the first camera's).

    Raises ``ValueError`` when it is not a usable Quorvan recording."""
    stream = open(path, "rb")
    try:
        index, reader = _index(stream, path, namespace)
        if namespace is not None and not index.raw_log_times_ns:
            raise ValueError(f"{path} has no raw frames of a camera under {namespace}")
        if not index.camera:
            raise ValueError(f"{path} has no quorvan.camera metadata: not a Quorvan recording")
        if not index.raw_log_times_ns:
            raise ValueError(f"{path} has no raw frames on {index.raw_topic}: nothing to replay")
    except BaseException:
        stream.close()
        raise
    return index, RawFrameReader(path, index, stream, reader)


def _index(
    stream: IO[bytes], path: PathLike, namespace: str | None
) -> tuple[RecordingIndex, McapReader | None]:
    """The index and, for a file read through its summary, the reader that read it."""
    try:
        reader = make_reader(stream)
        found = _index_from_summary(stream, reader, namespace)
        if found is not None:
            return found, reader
    # A file without a footer, or whose summary is damaged, is read from its start.
    except Exception as error:  # noqa: BLE001
        _log.debug("%s has no usable summary (%s): scanning it", path, error)
    return _index_by_scan(stream, path, namespace), None


def scan_recording(path: PathLike) -> RecordingIndex:
    """The index of a recording (see :func:`open_recording`), the file closed again."""
    index, reader = open_recording(path)
    reader.close()
    return index


def camera_format(index: RecordingIndex, path: PathLike) -> tuple[int, int, int, int]:
    """(width, height, bit_width, bpp) of the recorded sensor; ``ValueError`` when damaged."""
    width, height, bit_width, bpp = (
        metadata_int(index.camera, name, bounds, f"{path}: quorvan.camera")
        for name, bounds in CAMERA_FIELD_RANGES.items()
    )
    if width * height > _MAX_CAPTURE_SAMPLES:
        raise ValueError(
            f"{path}: quorvan.camera width {width} and height {height} are not a sensor's"
        )
    return width, height, bit_width, bpp


def control_value(values: dict[str, str], name: str, path: PathLike) -> int | None:
    """A recorded control's value as a 32-bit integer, None when not recorded."""
    if name not in values:
        return None
    return metadata_int(values, name, _INT32, f"{path}: recorded control")


def recorded_control(index: RecordingIndex, name: str, path: PathLike) -> int | None:
    """The value of a control at the first frame, None when not recorded."""
    return control_value(index.controls, name, path)


def check_controls(index: RecordingIndex, names: Iterable[str], path: PathLike) -> None:
    """``ValueError`` naming the first of ``names`` recorded with a value no control takes."""
    for values in [index.timeline.initial, *(change for _, change in index.timeline.changes)]:
        for name in names:
            control_value(values, name, path)


def _decode_raw(number: int, data: bytes, device_ms: int | None) -> RawFrame | DamagedFrame:
    try:
        image = messages.decode_image(data)
    except ValueError as error:
        return DamagedFrame(number, str(error))
    if image.pixels.dtype.kind != "i" or image.pixels.itemsize != 2:
        return DamagedFrame(number, f"raw frame of encoding {image.encoding}")
    pixels = np.ascontiguousarray(image.pixels, dtype=np.int16)
    stamp_ms = messages.stamp_ns_to_ms(image.stamp_ns) if device_ms is None else device_ms
    return stamp_ms, pixels


class RawFrameReader:
    """Reads raw frames of one recording from any frame on; one thread at a time."""

    def __init__(
        self, path: PathLike, index: RecordingIndex, stream: IO[bytes], reader: McapReader | None
    ) -> None:
        self._path = path
        self._index = index
        self._stream = stream
        # The reader that indexed the file; it keeps the summary it read.
        self._reader = reader
        # Structural damage met by the last pass, for the caller's report.
        self.damage: str | None = None

    def close(self) -> None:
        self._stream.close()

    def frames(self, start: int) -> Iterator[tuple[int, RawFrame | DamagedFrame]]:
        """(frame number, frame) from frame ``start`` to the last indexed one.

        Frames before ``start`` are not decoded. Damage to the file's structure
        ends the pass, with :attr:`damage` saying where."""
        self.damage = None
        count = len(self._index.raw_log_times_ns)
        if start >= count:
            return
        source = self._indexed(start) if self._reader is not None else self._scanned(start)
        number = start
        try:
            device_time = self._index.device_time_in_publish_time
            for data, publish_time_ns in source:
                if number >= count:
                    return
                device_ms = publish_time_ns // 1_000_000 if device_time else None
                yield number, _decode_raw(number, data, device_ms)
                number += 1
        except Exception as error:  # noqa: BLE001 - the decompressors' and reader's own errors
            self.damage = f"the file is damaged at raw frame {number} ({error})"
            _log.warning("%s: %s; the pass ends there", self._path, self.damage)

    def _indexed(self, start: int) -> Iterator[tuple[bytes, int]]:
        assert self._reader is not None
        times = self._index.raw_log_times_ns
        first = times[start]
        # Frames logged at the same time as the first one wanted but before it.
        earlier = start - bisect.bisect_left(times, first)
        for _, _, message in _messages_from(self._reader, self._index.raw_topic, first):
            if earlier > 0:
                earlier -= 1
                continue
            yield message.data, message.publish_time

    def _scanned(self, start: int) -> Iterator[tuple[bytes, int]]:
        raw_id: int | None = None
        seen = 0
        self._stream.seek(0)
        for record in StreamReader(self._stream, skip_magic=False).records:
            if isinstance(record, Channel) and record.topic == self._index.raw_topic:
                raw_id = record.id
            elif isinstance(record, Message) and record.channel_id == raw_id:
                seen += 1
                if seen > start:
                    yield record.data, record.publish_time
                if seen == len(self._index.raw_log_times_ns):
                    return  # the damage of a cut file lies after its last indexed frame


def _messages_from(reader: McapReader, topic: str, log_time_ns: int) -> Iterator[Any]:
    """The messages on ``topic`` from ``log_time_ns`` on, in log time order."""
    try:
        return reader.iter_messages(topics=[topic], starting_at=log_time_ns)  # type: ignore[call-arg,no-any-return,unused-ignore]
    except TypeError:  # readers before the inclusive bounds were named
        return reader.iter_messages(topics=[topic], start_time=log_time_ns)  # type: ignore[no-any-return,unused-ignore]


def raw_frames(path: PathLike, limit: int) -> Iterator[RawFrame | DamagedFrame]:
    """The first ``limit`` raw frames of a recording, each as (stamp in ms, int16
    plane) or, when its message cannot be decoded, as a :class:`DamagedFrame`."""
    _, reader = open_recording(path)
    try:
        for number, frame in reader.frames(0):
            if number >= limit:
                return
            yield frame
    finally:
        reader.close()


def iter_raw_frames(path: PathLike, limit: int) -> Iterator[RawFrame]:
    """The first ``limit`` raw frames of a recording as (stamp in ms, int16 plane);
    damaged frames are left out with a warning."""
    for frame in raw_frames(path, limit):
        if isinstance(frame, DamagedFrame):
            _log.warning("%s: raw frame %d skipped: %s", path, frame.number, frame.reason)
            continue
        yield frame


__all__ = [
    "CAMERA_FIELD_RANGES",
    "ControlTimeline",
    "DamagedFrame",
    "RawFrameReader",
    "RecordingIndex",
    "camera_format",
    "check_controls",
    "control_value",
    "iter_raw_frames",
    "metadata_int",
    "open_recording",
    "raw_frames",
    "recorded_control",
    "scan_recording",
]
