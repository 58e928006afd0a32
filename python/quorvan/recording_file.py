"""Reading a Quorvan recording: its metadata and its raw frames, whatever the file holds.

A recording comes from a disk, a copy or another tool, so nothing in it is
trusted. Two kinds of damage are told apart:

- damage to the file's structure (a cut, a flipped bit in a compressed chunk,
  bytes that are not MCAP): reading stops there, :attr:`RecordingIndex.truncated`
  says so, and a file with nothing usable before the damage is refused with
  ``ValueError``;
- damage to one raw frame's message (data shorter than declared, a step
  larger than the data, an unknown encoding, an absurd height): that frame is
  reported as damaged and the frames after it still play.

Metadata the playback depends on (the camera's size and sample format, the
controls of the processing) must be whole numbers in their range, else the
file is refused with ``ValueError`` naming the field.
"""

from __future__ import annotations

import logging
import pathlib
import struct
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import IO, Union

import numpy as np
import numpy.typing as npt
from mcap.records import Channel, Footer, Message, Metadata
from mcap.stream_reader import StreamReader

from . import messages

_log = logging.getLogger(__name__)

PathLike = Union[str, pathlib.Path]
RawFrame = tuple[int, npt.NDArray[np.int16]]

# The header stamp sits right after the 4-byte CDR encapsulation header.
_STAMP = struct.Struct("<iI")
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


@dataclass
class RecordingIndex:
    """What a scan of a recording found: its metadata and its raw frames' stamps."""

    camera: dict[str, str] = field(default_factory=dict)
    controls: dict[str, str] = field(default_factory=dict)
    raw_stamps_ms: list[int] = field(default_factory=list)
    truncated: bool = False


@dataclass(frozen=True)
class DamagedFrame:
    """A raw frame's message that cannot be decoded, and why."""

    number: int
    reason: str


def _stamp_ms(data: bytes) -> int:
    seconds, nanoseconds = _STAMP.unpack_from(data, 4)
    return int(seconds) * 1000 + int(nanoseconds) // 1_000_000


def _records(stream: IO[bytes]) -> Iterator[object]:
    return iter(StreamReader(stream, skip_magic=False).records)


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


def _record_control_change(index: RecordingIndex, change: dict[str, str]) -> None:
    control, value = change.get("control"), change.get("value")
    if control is None or value is None:
        _log.warning(
            "a quorvan.control_change record without its control or value is ignored: %r",
            dict(change),
        )
        return
    if change.get("status") == "QuorvanSuccess":
        index.controls[control] = value


def scan_recording(path: PathLike) -> RecordingIndex:
    """Reads a recording once: metadata, the stamps of its raw frames, and
    whether it ends cleanly. Raises ``ValueError`` when it is not a usable
    Quorvan recording."""
    index = RecordingIndex()
    raw_channels: set[int] = set()
    seen_footer = False
    with open(path, "rb") as stream:
        try:
            for record in _records(stream):
                if isinstance(record, Channel) and record.topic == messages.TOPIC_RAW:
                    raw_channels.add(record.id)
                elif isinstance(record, Message) and record.channel_id in raw_channels:
                    try:
                        stamp = _stamp_ms(record.data)
                    except struct.error:
                        stamp = index.raw_stamps_ms[-1] if index.raw_stamps_ms else 0
                    index.raw_stamps_ms.append(stamp)  # a damaged frame keeps its place
                elif isinstance(record, Metadata):
                    if record.name == "quorvan.camera":
                        index.camera = dict(record.metadata)
                    elif record.name == "quorvan.controls":
                        index.controls = dict(record.metadata)
                    elif record.name == "quorvan.control_change":
                        _record_control_change(index, dict(record.metadata))
                elif isinstance(record, Footer):
                    seen_footer = True
        # The reader and its decompressors raise their own errors for damaged
        # bytes (McapError, EOFError, struct.error, the compressors' errors);
        # all of them mean the same here: the file's structure ends at this point.
        except Exception as error:  # noqa: BLE001
            if not index.raw_stamps_ms and not index.camera:
                raise ValueError(f"{path} is not an MCAP recording ({error})") from None
            _log.debug(
                "%s is damaged after %d raw frames: %s", path, len(index.raw_stamps_ms), error
            )
            index.truncated = True
    if not seen_footer:
        index.truncated = True
    if not index.camera:
        raise ValueError(f"{path} has no quorvan.camera metadata: not a Quorvan recording")
    if not index.raw_stamps_ms:
        raise ValueError(f"{path} has no raw frames on {messages.TOPIC_RAW}: nothing to replay")
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


def recorded_control(index: RecordingIndex, name: str, path: PathLike) -> int | None:
    """The recorded value of a control as a 32-bit integer, None when not recorded."""
    if name not in index.controls:
        return None
    return metadata_int(index.controls, name, _INT32, f"{path}: recorded control")


def raw_frames(path: PathLike, limit: int) -> Iterator[RawFrame | DamagedFrame]:
    """The first ``limit`` raw frames of a recording, each as (stamp in ms, int16
    plane) or, when its message cannot be decoded, as a :class:`DamagedFrame`."""
    raw_channels: set[int] = set()
    count = 0
    with open(path, "rb") as stream:
        try:
            for record in _records(stream):
                if count >= limit:
                    return
                if isinstance(record, Channel) and record.topic == messages.TOPIC_RAW:
                    raw_channels.add(record.id)
                elif isinstance(record, Message) and record.channel_id in raw_channels:
                    count += 1
                    try:
                        image = messages.decode_image(record.data)
                    except ValueError as error:
                        yield DamagedFrame(count - 1, str(error))
                        continue
                    if image.pixels.dtype.kind != "i" or image.pixels.itemsize != 2:
                        yield DamagedFrame(count - 1, f"raw frame of encoding {image.encoding}")
                        continue
                    pixels = np.ascontiguousarray(image.pixels, dtype=np.int16)
                    yield messages.stamp_ns_to_ms(image.stamp_ns), pixels
        except Exception:  # noqa: BLE001 - structural damage; the scan set the limit before it
            return


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
    "DamagedFrame",
    "RecordingIndex",
    "camera_format",
    "iter_raw_frames",
    "metadata_int",
    "raw_frames",
    "recorded_control",
    "scan_recording",
]
