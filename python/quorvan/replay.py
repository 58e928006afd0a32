"""Replaying an MCAP recording through the camera's own processing code.

    camera = PlaybackCamera("session.mcap")
    camera.open()
    camera.start(qdc.TOFOutput.DEPTH)
    frame = camera.requestFrame(1000)
    ... frame.getDepthData() ...
    camera.releaseFrame(frame)
    camera.stop()
    camera.close()

``PlaybackCamera`` answers like ``QuorvanCamera``. It opens a native
``QuorvanPlaybackCamera`` with the recorded sensor's size and sample format
and, from a feeder thread, pushes the recorded raw frames (``TOPIC_RAW``) into
it; the camera's capture thread and processing device then compute depth,
amplitude and confidence exactly as they did live. Frames are the module's own
``RawData`` and ``DepthData``.

Pacing: ``realtime=True`` spaces the frames as their recorded timestamps were
spaced, and a consumer that falls behind loses the oldest frames as it would
live; ``realtime=False`` hands the camera the next raw frame as soon as the
previous one was requested, so every frame arrives, as fast as consumer and
processing go. ``loop=True`` starts over at the
end. ``seek(seconds)`` continues from the first frame at least that far past
the first recorded frame.

A file cut short (the recorder killed mid-way) plays up to its last complete
message, with a warning; a file that is not MCAP, or has no raw frames, is
refused with one ``ValueError``.
"""

from __future__ import annotations

import atexit
import pathlib
import struct
import threading
import time
import warnings
import weakref
from dataclasses import dataclass, field
from typing import IO, Dict, Iterator, List, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt
from mcap.exceptions import McapError
from mcap.records import Channel, Footer, Message, Metadata
from mcap.stream_reader import StreamReader

import QuorvanDepthCamera as qdc

from . import messages

PathLike = Union[str, pathlib.Path]
Frame = Union[qdc.RawData, qdc.DepthData]

# How long one push waits for room before the feeder looks at stop and seek.
_PUSH_WAIT_MS = 100
# Controls the processing depends on, applied to the native camera at open.
_PROCESSING_CONTROLS = ("FMT_WIDTH", "FMT_HEIGHT", "MODE", "RANGE")
# The header stamp sits right after the 4-byte CDR encapsulation header.
_STAMP = struct.Struct("<iI")


# Cameras still streaming when the interpreter exits are stopped first: their
# feeder thread must not be waiting in native code when Python finalises.
_streaming: "weakref.WeakSet[PlaybackCamera]" = weakref.WeakSet()


def _stop_streaming_cameras() -> None:
    for camera in list(_streaming):
        camera.stop()


atexit.register(_stop_streaming_cameras)


@dataclass
class RecordingIndex:
    """What a scan of a recording found: its metadata and its raw frames' stamps."""

    camera: Dict[str, str] = field(default_factory=dict)
    controls: Dict[str, str] = field(default_factory=dict)
    raw_stamps_ms: List[int] = field(default_factory=list)
    truncated: bool = False


def _stamp_ms(data: bytes) -> int:
    seconds, nanoseconds = _STAMP.unpack_from(data, 4)
    return int(seconds) * 1000 + int(nanoseconds) // 1_000_000


def _records(stream: IO[bytes]) -> Iterator[object]:
    return iter(StreamReader(stream, skip_magic=False).records)


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
                    index.raw_stamps_ms.append(_stamp_ms(record.data))
                elif isinstance(record, Metadata):
                    if record.name == "quorvan.camera":
                        index.camera = dict(record.metadata)
                    elif record.name == "quorvan.controls":
                        index.controls = dict(record.metadata)
                    elif record.name == "quorvan.control_change":
                        change = record.metadata
                        if change.get("status") == "QuorvanSuccess":
                            index.controls[change["control"]] = change["value"]
                elif isinstance(record, Footer):
                    seen_footer = True
        except (McapError, EOFError, ValueError, struct.error) as error:
            if not index.raw_stamps_ms and not index.camera:
                raise ValueError(f"{path} is not an MCAP recording ({error})") from None
            index.truncated = True
    if not seen_footer:
        index.truncated = True
    if not index.camera:
        raise ValueError(f"{path} has no quorvan.camera metadata: not a Quorvan recording")
    if not index.raw_stamps_ms:
        raise ValueError(f"{path} has no raw frames on {messages.TOPIC_RAW}: nothing to replay")
    return index


def iter_raw_frames(path: PathLike, limit: int) -> Iterator[Tuple[int, npt.NDArray[np.int16]]]:
    """The first ``limit`` raw frames of a recording as (stamp in ms, int16 plane)."""
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
                    image = messages.decode_image(record.data)
                    count += 1
                    pixels = np.ascontiguousarray(image.pixels, dtype=np.int16)
                    yield messages.stamp_ns_to_ms(image.stamp_ns), pixels
        except (McapError, EOFError, ValueError, struct.error):
            return  # the scan found the cut and set the limit before it


class PlaybackCamera:
    """A recording played through the camera API; see the module documentation."""

    def __init__(self, path: PathLike, *, realtime: bool = True, loop: bool = False) -> None:
        self._path = pathlib.Path(path)
        self.realtime = realtime
        self.loop = loop
        self._index: Optional[RecordingIndex] = None
        self._native: Optional[qdc.QuorvanPlaybackCamera] = None
        self._feeder: Optional[threading.Thread] = None
        self._stop = threading.Event()
        self._finished = threading.Event()
        self._lock = threading.Lock()
        self._seek_to: Optional[int] = None
        self._position = 0
        # Fast playback: one raw frame may be ahead of the consumer, so the
        # camera's pool never has to drop an unrequested frame.
        self._credits = threading.Semaphore(1)
        self.error: Optional[str] = None

    # -- the camera interface ------------------------------------------------

    def open(self) -> qdc.TOFErrorCode:
        """Scans the recording and opens a camera on its recorded sensor.

        Raises ``ValueError`` for a file that is not a Quorvan recording;
        warns when it was cut short."""
        index = scan_recording(self._path)
        if index.truncated:
            warnings.warn(
                f"{self._path} ends without its closing records (the recorder was stopped "
                f"abruptly): replaying the {len(index.raw_stamps_ms)} complete raw frames "
                "before the cut", RuntimeWarning, stacklevel=2)
        camera = index.camera
        try:
            native = qdc.QuorvanPlaybackCamera(int(camera["width"]), int(camera["height"]),
                                               int(camera["bit_width"]), int(camera["bpp"]))
        except (KeyError, ValueError) as error:
            raise ValueError(f"{self._path}: incomplete quorvan.camera metadata ({error})") from None
        status = native.open()
        if status != qdc.TOFErrorCode.QuorvanSuccess:
            return status
        for name in _PROCESSING_CONTROLS:
            value = index.controls.get(name)
            if value is not None:
                native.setControl(qdc.TOFControl.__members__[name], int(value))
        self._index = index
        self._native = native
        return status

    def start(self, output: qdc.TOFOutput) -> qdc.TOFErrorCode:
        """Starts processing and the feeder thread at the current position."""
        native = self._require_native()
        if self._feeder is not None:
            return qdc.TOFErrorCode.QuorvanUnkownError
        status = native.start(output)
        if status != qdc.TOFErrorCode.QuorvanSuccess:
            return status
        self._stop.clear()
        self._finished.clear()
        self._credits = threading.Semaphore(1)
        self._feeder = threading.Thread(target=self._feed, name="quorvan-playback", daemon=True)
        self._feeder.start()
        _streaming.add(self)
        return status

    def requestFrame(self, timeout: int) -> Optional[Frame]:
        """The next processed frame, or None after ``timeout`` ms."""
        frame = self._require_native().requestFrame(timeout)
        if frame is not None:
            self._credits.release()
        return frame

    def releaseFrame(self, frame: Optional[qdc.QuorvanFrame]) -> qdc.TOFErrorCode:
        return self._require_native().releaseFrame(frame)

    def stop(self) -> qdc.TOFErrorCode:
        """Stops the feeder and the camera; the position is kept for the next start."""
        native = self._require_native()
        self._stop.set()
        if self._feeder is not None:
            self._feeder.join()
            self._feeder = None
        _streaming.discard(self)
        return native.stop()

    def close(self) -> qdc.TOFErrorCode:
        if self._native is None:
            return qdc.TOFErrorCode.QuorvanUnkownError
        if self._feeder is not None:
            self.stop()
        status = self._native.close()
        self._native = None
        return status

    def getCameraInfo(self) -> qdc.QuorvanInfo:
        return self._require_native().getCameraInfo()

    def getControl(self, control: qdc.TOFControl) -> int:
        """The value recorded for ``control`` (its last successful change), else the camera's."""
        recorded = self._require_index().controls.get(control.name)
        if recorded is not None:
            return int(recorded)
        return self._require_native().getControl(control)

    def seek(self, seconds: float) -> None:
        """Continues from the first frame ``seconds`` or more after the first frame.

        While streaming, raw frames not yet processed are dropped; the one or
        two the camera had already processed still arrive first."""
        stamps = self._require_index().raw_stamps_ms
        target = stamps[0] + seconds * 1000.0
        position = next((i for i, stamp in enumerate(stamps) if stamp >= target), len(stamps))
        with self._lock:
            self._seek_to = position
            self._position = position
            self._credits = threading.Semaphore(1)
        if self._native is not None:
            self._native.clearQueue()

    # -- what a playback adds --------------------------------------------------

    @property
    def frame_count(self) -> int:
        """Raw frames that will be played (the complete ones of a cut file)."""
        return len(self._require_index().raw_stamps_ms)

    @property
    def duration(self) -> float:
        """Seconds from the first to the last recorded raw frame."""
        stamps = self._require_index().raw_stamps_ms
        return (stamps[-1] - stamps[0]) / 1000.0

    @property
    def truncated(self) -> bool:
        return self._require_index().truncated

    @property
    def position(self) -> int:
        """Index of the next raw frame to be pushed."""
        with self._lock:
            return self._position

    def wait_finished(self, timeout: Optional[float] = None) -> bool:
        """True once every raw frame was handed to the camera (never, when looping)."""
        return self._finished.wait(timeout)

    def __enter__(self) -> "PlaybackCamera":
        status = self.open()
        if status != qdc.TOFErrorCode.QuorvanSuccess:
            raise RuntimeError(f"cannot open the playback camera: {status.name}")
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # -- the feeder --------------------------------------------------------------

    def _require_native(self) -> qdc.QuorvanPlaybackCamera:
        if self._native is None:
            raise RuntimeError("the playback camera is not open")
        return self._native

    def _require_index(self) -> RecordingIndex:
        if self._index is None:
            raise RuntimeError("the playback camera is not open")
        return self._index

    def _take_seek(self) -> Optional[int]:
        with self._lock:
            target, self._seek_to = self._seek_to, None
            return target

    def _feed(self) -> None:
        native = self._require_native()
        count = self.frame_count
        while not self._stop.is_set():
            target = self._take_seek()
            start = target if target is not None else self.position
            restarted = self._play(native, start, count)
            if self._stop.is_set() or restarted:
                continue
            if not self.loop:
                self._finished.set()
                return
            with self._lock:
                self._position = 0

    def _play(self, native: qdc.QuorvanPlaybackCamera, start: int, count: int) -> bool:
        """Pushes frames from ``start``; True when a seek interrupted it."""
        first_stamp: Optional[int] = None
        first_wall = 0.0
        for number, (stamp_ms, raw) in enumerate(iter_raw_frames(self._path, count)):
            if number < start:
                continue
            if self._stop.is_set():
                return False
            if self._seek_to is not None:
                return True
            if not self.realtime and not self._wait_for_credit():
                return self._seek_to is not None
            if self.realtime:
                if first_stamp is None:
                    first_stamp, first_wall = stamp_ms, time.monotonic()
                delay = first_wall + (stamp_ms - first_stamp) / 1000.0 - time.monotonic()
                if delay > 0 and self._stop.wait(delay):
                    return False
            if not self._push(native, raw, stamp_ms):
                return False
            with self._lock:
                if self._seek_to is None:
                    self._position = number + 1
        return False

    def _wait_for_credit(self) -> bool:
        credits = self._credits
        while not self._stop.is_set() and self._seek_to is None:
            if credits.acquire(timeout=_PUSH_WAIT_MS / 1000.0):
                return True
        return False

    def _push(self, native: qdc.QuorvanPlaybackCamera, raw: npt.NDArray[np.int16],
              stamp_ms: int) -> bool:
        while not self._stop.is_set():
            status = native.pushRaw(raw, stamp_ms, _PUSH_WAIT_MS)
            if status == qdc.TOFErrorCode.QuorvanSuccess:
                return True
            if status == qdc.TOFErrorCode.QuorvanInvalidParameter:
                self.error = (f"a recorded raw frame of shape {raw.shape} does not fit the "
                              "playback camera")
                self._stop.set()
                return False
            if self._seek_to is not None:
                return True  # dropped: the feed is being repositioned
        return False


__all__: List[str] = ["PlaybackCamera", "RecordingIndex", "scan_recording", "iter_raw_frames"]
