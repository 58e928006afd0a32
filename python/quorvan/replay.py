"""Replaying an MCAP recording through the camera's own processing code.

    camera = PlaybackCamera("session.mcap")
    camera.open()
    camera.start(qdc.TOFOutput.DEPTH)
    frame = camera.requestFrame(1000)
    ... frame.getDepthData() ...
    camera.releaseFrame(frame)
    camera.stop()
    camera.close()

``PlaybackCamera`` answers like ``QuorvanCamera``. It composes a native
``QuorvanPlaybackCamera`` opened with the recorded sensor's size and sample
format, which owns the camera's lifecycle; this class adds a feeder thread
that reads the recorded raw frames and pushes them into it. The camera's
capture thread and processing device then compute depth, amplitude and
confidence exactly as they did live. Frames are the module's own ``RawData``
and ``DepthData``.

What is replayed: the raw frames, always (in a recording of several cameras,
the first camera's, or those of ``namespace``). A recording may hold raw frames and
depth planes together (the depth for ROS tools); replay uses the raw frames,
because only they go through the processing bit for bit as they did live. A
recording that holds depth and no raw frames cannot be replayed and is
refused with ``ValueError``.

Controls follow the recording: those in force when the first frame was
recorded are set before streaming, and a recorded change (the 240x180
sensor's range, say) is applied before the first frame recorded after it, so
the frames replay as they were computed live. The 640x480 sensor's size and
frequency mode follow from the layout of the recorded capture: when it
changes mid-recording (the live camera was restarted in another mode), the
playback restarts its camera for the new layout before that frame, and a
consumer's ``requestFrame`` that the restart interrupted waits on within its
timeout. ``getControl`` answers the value in force at the current position;
while streaming, the frequency mode and range are read back from the
processing device.

Pacing: ``realtime=True`` spaces the frames as their recorded timestamps were
spaced, and a consumer that falls behind loses the oldest frames as it would
live; ``realtime=False`` hands the camera the next raw frame as soon as the
previous one was requested, so every frame arrives, as fast as consumer and
processing go. ``loop=True`` starts over at the end; without it, ``start()``
after the last frame plays again from the first.

Seeking: ``seek(seconds)`` continues from the first frame logged at least that
far past the first recorded frame (the MCAP log time, which every MCAP tool
seeks on). A complete file is positioned through its summary and chunk
indexes: only the chunk that holds the target frame is read, and no skipped
frame is decoded. A file cut short (the recorder killed mid-way) has no
summary; it is scanned once when opened, a seek then reads the file up to the
target without decoding the frames before it, and it plays up to its last
complete message, with a warning.

A file that is not MCAP, has no raw frames or damaged camera metadata is
refused with one ``ValueError``. A raw frame whose message is damaged, or that
does not fit the recorded camera, is skipped with a logged warning and counted
in ``frames_skipped``; damage to the file's structure ends the pass with a
warning; when no frame of a pass can be played, the playback ends and
``error`` says why (a looping playback does not spin on a file with nothing to
play).
"""

from __future__ import annotations

import bisect
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
    PathLike,
    RawFrameReader,
    RecordingIndex,
    camera_format,
    check_controls,
    control_value,
    iter_raw_frames,
    open_recording,
    scan_recording,
)

_log = logging.getLogger(__name__)

Frame = Union[qdc.RawData, qdc.DepthData]

# How long one push waits for room before the feeder looks at stop and seek.
_PUSH_WAIT_MS = 100
# Controls the processing depends on, applied to the native camera at open.
_PROCESSING_CONTROLS = ("FMT_WIDTH", "FMT_HEIGHT", "MODE", "RANGE")
# Controls a streaming device takes between two frames, by device. The
# 640x480 device takes its size and frequency mode from the recorded capture
# at each start instead (a mode change there needs a new start, live too).
_LIVE_CONTROLS = {qdc.TOFDeviceType.HQVGA: ("RANGE",)}
_SUCCESS = qdc.TOFErrorCode.QuorvanSuccess
# Controls that, while streaming, are read back from the processing device.
_DEVICE_CONTROLS = ("MODE", "RANGE")


class PlaybackCamera:
    """A recording played through the camera API; see the module documentation."""

    def __init__(
        self,
        path: PathLike,
        *,
        realtime: bool = True,
        loop: bool = False,
        namespace: str | None = None,
    ) -> None:
        self._path = pathlib.Path(path)
        self._namespace = namespace
        self.realtime = realtime
        self.loop = loop
        self._index: RecordingIndex | None = None
        self._reader: RawFrameReader | None = None
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
        # The recorded control changes the native camera has had (a count
        # into the timeline's changes) and the controls it may take live.
        self._changes_applied = 0
        self._live_controls: tuple[str, ...] = ()
        # A recording whose capture layout changes (the 640x480 sensor's
        # frequency mode) restarts the native camera for the new size; a
        # consumer whose wait that restart ended waits on.
        self._output = qdc.TOFOutput.DEPTH
        self._restarts_layout = False
        self._layout_ready = threading.Event()
        self._layout_ready.set()
        self._layout_changes = 0
        self._unplayable_shapes: set[tuple[int, ...]] = set()
        self.frames_skipped = 0
        self.error: str | None = None

    # -- the camera interface ------------------------------------------------

    def open(self) -> qdc.TOFErrorCode:
        """Indexes the recording and opens a camera on its recorded sensor.

        Raises ``ValueError`` for a file that is not a Quorvan recording;
        warns when it was cut short."""
        if self._native is not None:
            return qdc.TOFErrorCode.QuorvanUnkownError
        index, reader = open_recording(self._path, self._namespace)
        try:
            status = self._open_native(index)
        except BaseException:
            reader.close()
            raise
        if status != qdc.TOFErrorCode.QuorvanSuccess:
            reader.close()
            return status
        if index.truncated:
            warnings.warn(
                f"{self._path} ends without its closing records (the recorder was stopped "
                f"abruptly): replaying the {len(index.raw_log_times_ns)} complete raw frames "
                "before the cut",
                RuntimeWarning,
                stacklevel=2,
            )
        self._index = index
        self._reader = reader
        self._position = 0
        return status

    def _open_native(self, index: RecordingIndex) -> qdc.TOFErrorCode:
        width, height, bit_width, bpp = camera_format(index, self._path)
        check_controls(index, _PROCESSING_CONTROLS, self._path)
        native = qdc.QuorvanPlaybackCamera(width, height, bit_width, bpp)
        status = native.open()
        if status != qdc.TOFErrorCode.QuorvanSuccess:
            return status
        for name in _PROCESSING_CONTROLS:
            value = control_value(index.controls, name, self._path)
            if value is not None:
                native.setControl(qdc.TOFControl.__members__[name], value)
        self._native = native
        device = native.getCameraInfo().device_type
        self._live_controls = _LIVE_CONTROLS.get(device, ())
        self._restarts_layout = device == qdc.TOFDeviceType.VGA
        self._changes_applied = 0
        return status

    def start(self, output: qdc.TOFOutput) -> qdc.TOFErrorCode:
        """Starts processing and the feeder thread at the current position
        (at the first frame when the last one was played)."""
        native = self._require_native()
        if self._feeder is not None:
            return qdc.TOFErrorCode.QuorvanUnkownError
        with self._lock:
            if self._seek_to is None and self._position >= self.frame_count:
                self._position = 0
        self._apply_recorded_controls(native, self._frame_time(self.position), drain=False)
        status = native.start(output)
        if status != qdc.TOFErrorCode.QuorvanSuccess:
            return status
        self._output = output
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
        native = self._require_native()
        deadline = time.monotonic() + timeout / 1000.0
        while True:
            changes = self._layout_changes
            frame = native.requestFrame(timeout)
            if frame is not None:
                self._credits.release()
                return frame
            if self._layout_ready.is_set() and changes == self._layout_changes:
                return None
            # The feeder restarted the camera for a new capture layout.
            self._layout_ready.wait(max(0.0, deadline - time.monotonic()))
            timeout = int((deadline - time.monotonic()) * 1000.0)
            if timeout <= 0:
                return None

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
        if self._reader is not None:
            self._reader.close()
            self._reader = None
        if self._exit_registration is not None:
            closing.forget(self._exit_registration)
            self._exit_registration = None
        return status

    def getCameraInfo(self) -> qdc.QuorvanInfo:
        return self._require_native().getCameraInfo()

    def getControl(self, control: qdc.TOFControl) -> int:
        """The value in force at the current position: the device's frequency
        mode and range while streaming, else the recorded value, else the camera's."""
        native = self._require_native()
        if self._feeder is not None and control.name in _DEVICE_CONTROLS:
            return native.getControl(control)
        values = self._require_index().timeline.at(self._frame_time(self.position))
        recorded = control_value(values, control.name, self._path)
        if recorded is not None:
            return recorded
        return native.getControl(control)

    def seek(self, seconds: float) -> None:
        """Continues from the first frame logged ``seconds`` or more after the first frame.

        While streaming, raw frames not yet processed are dropped; the one or
        two the camera had already processed still arrive first."""
        if not math.isfinite(seconds):
            raise ValueError(f"seek needs a finite number of seconds, not {seconds!r}")
        times = self._require_index().raw_log_times_ns
        target = times[0] + round(seconds * 1e9)
        position = next((i for i, time_ns in enumerate(times) if time_ns >= target), len(times))
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
        return len(self._require_index().raw_log_times_ns)

    @property
    def duration(self) -> float:
        """Seconds from the first to the last recorded raw frame (by log time)."""
        times = self._require_index().raw_log_times_ns
        return (max(times) - min(times)) / 1e9

    @property
    def truncated(self) -> bool:
        return self._require_index().truncated

    @property
    def indexed(self) -> bool:
        """True when seeks go through the file's summary, False when they scan (a cut file)."""
        return self._require_index().indexed

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

    def _frame_time(self, number: int) -> int:
        times = self._require_index().raw_log_times_ns
        return times[min(number, len(times) - 1)]

    def _apply_recorded_controls(
        self, native: qdc.QuorvanPlaybackCamera, log_time_ns: int, *, drain: bool
    ) -> None:
        """Gives the native camera the live controls in force at ``log_time_ns``,
        when a recorded change lies between that and what it has."""
        timeline = self._require_index().timeline
        if not self._live_controls:
            return
        due = bisect.bisect_right(timeline.change_times(), log_time_ns)
        if due == self._changes_applied:
            return
        if drain:
            self._drain(native)
        values = timeline.at(log_time_ns)
        for name in self._live_controls:
            value = control_value(values, name, self._path)
            if value is None or value == native.getControl(qdc.TOFControl.__members__[name]):
                continue
            status = native.setControl(qdc.TOFControl.__members__[name], value)
            if status != qdc.TOFErrorCode.QuorvanSuccess:
                _log.warning(
                    "%s: the recorded %s %d is refused (%s)", self._path, name, value, status.name
                )
        self._changes_applied = due

    def _drain(self, native: qdc.QuorvanPlaybackCamera) -> None:
        # Frames pushed before a change were computed live with the old
        # controls: let the capture thread take them first. (Fast playback
        # needs no wait: the previous frame was requested, so processed.)
        deadline = time.monotonic() + _PUSH_WAIT_MS / 1000.0
        while native.queuedRaw() and time.monotonic() < deadline and not self._stop.is_set():
            time.sleep(0.001)

    def _take_seek(self) -> int | None:
        with self._lock:
            target, self._seek_to = self._seek_to, None
            return target

    def _feed(self) -> None:
        native = self._require_native()
        while not self._stop.is_set():
            target = self._take_seek()
            start = target if target is not None else self.position
            restarted, pushed = self._play(native, start)
            if self._stop.is_set() or restarted:
                continue
            if pushed == 0 and (start == 0 or not self.loop):
                damage = self._require_reader().damage
                if self.frames_skipped or damage:
                    # Looping again would read the same damage at full speed for ever.
                    found = f"{self.frames_skipped} skipped as damaged"
                    self.error = (
                        f"no raw frame from position {start} on could be played "
                        f"({found}{'; ' + damage if damage else ''})"
                    )
                    _log.error("%s: %s", self._path, self.error)
                self._finished.set()
                return
            if not self.loop:
                self._finished.set()
                return
            with self._lock:
                if self._seek_to is None:
                    self._position = 0

    def _require_reader(self) -> RawFrameReader:
        if self._reader is None:
            raise RuntimeError("the playback camera is not open")
        return self._reader

    def _play(self, native: qdc.QuorvanPlaybackCamera, start: int) -> tuple[bool, int]:
        """Pushes frames from ``start``: (whether a seek interrupted it, frames pushed)."""
        first_stamp: int | None = None
        first_wall = 0.0
        pushed = 0
        for number, frame in self._require_reader().frames(start):
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
            self._apply_recorded_controls(native, self._frame_time(number), drain=self.realtime)
            if self._restarts_layout and not self._fits_capture(native, raw):
                self._restart_for_layout(native, raw)
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

    @staticmethod
    def _fits_capture(native: qdc.QuorvanPlaybackCamera, raw: npt.NDArray[np.int16]) -> bool:
        info = native.getCameraInfo()
        return bool(raw.ndim == 2 and raw.shape == (info.height, info.width))

    def _restart_for_layout(
        self, native: qdc.QuorvanPlaybackCamera, raw: npt.NDArray[np.int16]
    ) -> None:
        """Restarts the camera for captures of ``raw``'s size, as the live camera
        was restarted after a frequency-mode change; back to the old size when
        the device takes no such layout (the frame is then refused and skipped)."""
        shape = tuple(raw.shape)
        if raw.ndim != 2 or shape in self._unplayable_shapes:
            return
        before = native.getCameraInfo()
        self._layout_ready.clear()
        try:
            self._drain(native)
            native.stop()
            started = native.setCaptureSize(raw.shape[1], raw.shape[0]) == _SUCCESS and (
                native.start(self._output) == _SUCCESS
            )
            if not started:
                self._unplayable_shapes.add(shape)
                native.stop()
                native.setCaptureSize(before.width, before.height)
                if native.start(self._output) != _SUCCESS:
                    self.error = "the camera did not start again after a refused capture layout"
                    _log.error("%s: %s", self._path, self.error)
            else:
                _log.info(
                    "%s: the recorded capture changed to %dx%d; the camera restarted for it",
                    self._path,
                    raw.shape[1],
                    raw.shape[0],
                )
        finally:
            self._layout_changes += 1
            self._layout_ready.set()

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
