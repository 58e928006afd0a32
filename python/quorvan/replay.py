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

A file cut short (the recorder killed mid-way) or damaged plays up to its
last complete message, with a warning; a file that is not MCAP, has no raw
frames or damaged camera metadata is refused with one ``ValueError``. A raw
frame whose message is damaged, or that does not fit the recorded camera, is
skipped with a logged warning and counted in ``frames_skipped``; when no frame
of a pass can be played, the playback ends and ``error`` says why (a looping
playback does not spin on a file with nothing to play).
"""

from __future__ import annotations

import logging
import math
import pathlib
import threading
import time
import warnings
from typing import TYPE_CHECKING, Union

import numpy as np
import numpy.typing as npt

import QuorvanDepthCamera as qdc

from . import closing
from .camera_like import CameraLike
from .recording_file import (
    DamagedFrame,
    RecordingIndex,
    camera_format,
    iter_raw_frames,
    raw_frames,
    recorded_control,
    scan_recording,
)

_log = logging.getLogger(__name__)

PathLike = Union[str, pathlib.Path]
Frame = Union[qdc.RawData, qdc.DepthData]

# How long one push waits for room before the feeder looks at stop and seek.
_PUSH_WAIT_MS = 100
# Controls the processing depends on, applied to the native camera at open.
_PROCESSING_CONTROLS = ("FMT_WIDTH", "FMT_HEIGHT", "MODE", "RANGE")


class PlaybackCamera:
    """A recording played through the camera API; see the module documentation."""

    def __init__(self, path: PathLike, *, realtime: bool = True, loop: bool = False) -> None:
        self._path = pathlib.Path(path)
        self.realtime = realtime
        self.loop = loop
        self._index: RecordingIndex | None = None
        self._native: qdc.QuorvanPlaybackCamera | None = None
        self._feeder: threading.Thread | None = None
        self._stop = threading.Event()
        self._finished = threading.Event()
        self._lock = threading.Lock()
        self._seek_to: int | None = None
        self._position = 0
        # Fast playback: one raw frame may be ahead of the consumer, so the
        # camera's pool never has to drop an unrequested frame.
        self._credits = threading.Semaphore(1)
        # Set by stop() and seek() to end a wait between recorded timestamps.
        self._wake = threading.Event()
        self._exit_registration: int | None = None
        self.frames_skipped = 0
        self.error: str | None = None

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
                "before the cut",
                RuntimeWarning,
                stacklevel=2,
            )
        width, height, bit_width, bpp = camera_format(index, self._path)
        controls = {
            name: recorded_control(index, name, self._path) for name in _PROCESSING_CONTROLS
        }
        native = qdc.QuorvanPlaybackCamera(width, height, bit_width, bpp)
        status = native.open()
        if status != qdc.TOFErrorCode.QuorvanSuccess:
            return status
        for name, value in controls.items():
            if value is not None:
                native.setControl(qdc.TOFControl.__members__[name], value)
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
        self._wake.clear()
        self.error = None
        self._feeder = threading.Thread(target=self._feed, name="quorvan-playback", daemon=True)
        self._feeder.start()
        if self._exit_registration is None:
            self._exit_registration = closing.close_at_exit(self)
        return status

    def requestFrame(self, timeout: int) -> Frame | None:
        """The next processed frame, or None after ``timeout`` ms."""
        frame = self._require_native().requestFrame(timeout)
        if frame is not None:
            self._credits.release()
        return frame

    def releaseFrame(self, frame: qdc.QuorvanFrame | None) -> qdc.TOFErrorCode:
        return self._require_native().releaseFrame(frame)

    def stop(self) -> qdc.TOFErrorCode:
        """Stops the feeder and the camera; the position is kept for the next start."""
        native = self._require_native()
        self._stop.set()
        self._wake.set()
        if self._feeder is not None:
            self._feeder.join()
            self._feeder = None
        return native.stop()

    def close(self) -> qdc.TOFErrorCode:
        if self._native is None:
            return qdc.TOFErrorCode.QuorvanUnkownError
        if self._feeder is not None:
            self.stop()
        status = self._native.close()
        self._native = None
        if self._exit_registration is not None:
            closing.forget(self._exit_registration)
            self._exit_registration = None
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
        if not math.isfinite(seconds):
            raise ValueError(f"seek needs a finite number of seconds, not {seconds!r}")
        stamps = self._require_index().raw_stamps_ms
        target = stamps[0] + seconds * 1000.0
        position = next((i for i, stamp in enumerate(stamps) if stamp >= target), len(stamps))
        with self._lock:
            self._seek_to = position
            self._position = position
            self._credits = threading.Semaphore(1)
        self._wake.set()
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

    def wait_finished(self, timeout: float | None = None) -> bool:
        """True once every raw frame was handed to the camera (never, when looping)."""
        return self._finished.wait(timeout)

    def __enter__(self) -> PlaybackCamera:
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

    def _take_seek(self) -> int | None:
        with self._lock:
            target, self._seek_to = self._seek_to, None
            return target

    def _feed(self) -> None:
        native = self._require_native()
        count = self.frame_count
        while not self._stop.is_set():
            target = self._take_seek()
            start = target if target is not None else self.position
            restarted, pushed = self._play(native, start, count)
            if self._stop.is_set() or restarted:
                continue
            if pushed == 0 and (start == 0 or not self.loop):
                if self.frames_skipped:
                    # Looping again would read the same damage at full speed for ever.
                    self.error = (
                        f"no raw frame from position {start} on could be played "
                        f"({self.frames_skipped} skipped as damaged)"
                    )
                    _log.error("%s: %s", self._path, self.error)
                self._finished.set()
                return
            if not self.loop:
                self._finished.set()
                return
            with self._lock:
                self._position = 0

    def _play(self, native: qdc.QuorvanPlaybackCamera, start: int, count: int) -> tuple[bool, int]:
        """Pushes frames from ``start``: (whether a seek interrupted it, frames pushed)."""
        first_stamp: int | None = None
        first_wall = 0.0
        pushed = 0
        for number, frame in enumerate(raw_frames(self._path, count)):
            if number < start:
                continue
            if self._stop.is_set():
                return False, pushed
            if self._seek_to is not None:
                return True, pushed
            if isinstance(frame, DamagedFrame):
                self._skip(number, frame.reason)
                continue
            stamp_ms, raw = frame
            if not self.realtime and not self._wait_for_credit():
                return self._seek_to is not None, pushed
            if self.realtime:
                if first_stamp is None:
                    first_stamp, first_wall = stamp_ms, time.monotonic()
                deadline = first_wall + (stamp_ms - first_stamp) / 1000.0
                if not self._wait_until(deadline):
                    return self._seek_to is not None, pushed
            result = self._push(native, raw, stamp_ms)
            if result is None:
                return False, pushed
            if result:
                pushed += 1
            else:
                self._skip(
                    number, f"a raw frame of shape {raw.shape} does not fit the recorded camera"
                )
                if not self.realtime:
                    self._credits.release()  # nothing reached the camera for it
            with self._lock:
                if self._seek_to is None:
                    self._position = number + 1
        return False, pushed

    def _skip(self, number: int, reason: str) -> None:
        self.frames_skipped += 1
        _log.warning("%s: raw frame %d skipped: %s", self._path, number, reason)

    def _wait_until(self, deadline: float) -> bool:
        """Waits for the wall-clock ``deadline``; False when a stop or seek came first."""
        while self._seek_to is None and not self._stop.is_set():
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return True
            self._wake.wait(remaining)
            # Conditions are re-read above, so a wake that lands between the
            # wait and this clear is not lost.
            self._wake.clear()
        return False

    def _wait_for_credit(self) -> bool:
        credits = self._credits
        while not self._stop.is_set() and self._seek_to is None:
            if credits.acquire(timeout=_PUSH_WAIT_MS / 1000.0):
                return True
        return False

    def _push(
        self, native: qdc.QuorvanPlaybackCamera, raw: npt.NDArray[np.int16], stamp_ms: int
    ) -> bool | None:
        """True when pushed, False when the camera refuses the frame, None when stopped."""
        while not self._stop.is_set():
            status = native.pushRaw(raw, stamp_ms, _PUSH_WAIT_MS)
            if status == qdc.TOFErrorCode.QuorvanSuccess:
                return True
            if status == qdc.TOFErrorCode.QuorvanInvalidParameter:
                return False
            if self._seek_to is not None:
                return True  # dropped: the feed is being repositioned
        return None


__all__: list[str] = ["PlaybackCamera", "RecordingIndex", "scan_recording", "iter_raw_frames"]


if TYPE_CHECKING:
    # mypy proves here that a playback goes wherever a camera is read.
    def _fits(playback: PlaybackCamera) -> CameraLike:
        return playback
