"""One camera reader feeding any number of sinks, each on a thread of its own.

    with FrameStream(camera, sinks=[recorder, server]) as stream:
        ...
        stream.raise_if_failed()
    print(stream.statistics())

The reader copies each frame once and offers the same snapshot to every sink.
Each sink has a bounded queue and a thread that calls its ``consume``; when
a sink falls behind its queue fills, the oldest frame gives way and counts as
that sink's drop, so a slow sink never holds up the camera or its neighbours.

Errors: a sink whose ``consume`` raises is no longer fed; the error is
reported by the next call on the stream (:meth:`FrameStream.add_sink`,
:meth:`FrameStream.raise_if_failed`, ...) and again by :meth:`FrameStream.close`,
as :class:`SinkFailed` naming the sink.

Closing never hangs: the reader stops, each sink thread gets ``close_timeout_s``
to finish its queue and the sink's ``close``, called on that thread (a sink
whose own close may take longer, a recorder writing out its queue, says so in
an attribute ``close_timeout_s`` of its own, and gets that). A sink still busy
after the timeout is abandoned (its thread is a daemon) and reported as stuck
in :class:`SinkFailed`.
"""

from __future__ import annotations

import collections
import logging
import threading
import time
from dataclasses import dataclass
from types import TracebackType

from .. import closing
from ..camera_like import FrameSource
from .reader import CameraReader, FrameSnapshot
from .sink import FrameSink

__all__ = ["DEFAULT_SINK_QUEUE", "FrameStream", "SinkFailed", "SinkStatistics"]

_log = logging.getLogger(__name__)

# About a quarter of a second at 30 fps: enough to ride out a hiccup of one
# sink's thread without holding many large frames in memory.
DEFAULT_SINK_QUEUE = 8
DEFAULT_CLOSE_TIMEOUT_S = 5.0


@dataclass(frozen=True)
class SinkStatistics:
    """What one sink got: frames consumed, frames dropped for it, and its error."""

    name: str
    consumed: int
    dropped: int
    error: BaseException | None
    stuck: bool = False


class SinkFailed(RuntimeError):
    """One or more sinks failed or did not finish; ``failures`` maps their names to why."""

    def __init__(self, failures: dict[str, BaseException | None]) -> None:
        self.failures = failures
        parts = [
            f"{name}: {error!r}" if error is not None else f"{name}: did not finish in time"
            for name, error in failures.items()
        ]
        super().__init__("sink failed: " + "; ".join(parts))


class _SinkRunner:
    """A sink, its bounded drop-oldest queue and the thread that feeds it."""

    def __init__(self, sink: FrameSink, capacity: int) -> None:
        self.sink = sink
        self.name = str(sink.name)
        self._capacity = max(1, capacity)
        self._condition = threading.Condition()  # guards the queue, the flags and counters
        self._frames: collections.deque[FrameSnapshot] = collections.deque()
        self._finishing = False
        self.consumed = 0
        self.dropped = 0
        self.error: BaseException | None = None
        self.error_reported = False
        self.closed = threading.Event()
        self._thread = threading.Thread(
            target=self._run, name=f"quorvan-sink-{self.name}", daemon=True
        )
        self._thread.start()

    def offer(self, snapshot: FrameSnapshot) -> None:
        with self._condition:
            if self._finishing or self.error is not None:
                return
            if len(self._frames) >= self._capacity:
                self._frames.popleft()
                self.dropped += 1
            self._frames.append(snapshot)
            self._condition.notify()

    def _next(self) -> FrameSnapshot | None:
        with self._condition:
            while not self._frames and not self._finishing:
                self._condition.wait()
            return self._frames.popleft() if self._frames else None

    def _run(self) -> None:
        try:
            while True:
                snapshot = self._next()
                if snapshot is None:
                    break
                try:
                    self.sink.consume(snapshot)
                except BaseException as error:  # reported by the stream
                    _log.error("sink %s failed, it gets no more frames: %s", self.name, error)
                    with self._condition:
                        self.error = error
                        # The frame it refused and those still waiting are lost.
                        self.dropped += 1 + len(self._frames)
                        self._frames.clear()
                    break
                with self._condition:
                    self.consumed += 1
        finally:
            try:
                self.sink.close()
            except BaseException as error:  # noqa: BLE001 - reported by the stream
                with self._condition:
                    if self.error is None:
                        self.error = error
            self.closed.set()

    def finish(self) -> None:
        """No more frames: the thread works off the queue, closes the sink and ends."""
        with self._condition:
            self._finishing = True
            self._condition.notify_all()

    def abandon_queue(self) -> None:
        with self._condition:
            self.dropped += len(self._frames)
            self._frames.clear()
            self._finishing = True
            self._condition.notify_all()

    def statistics(self) -> SinkStatistics:
        with self._condition:
            stuck = self._finishing and not self.closed.is_set()
            return SinkStatistics(self.name, self.consumed, self.dropped, self.error, stuck)


class FrameStream:
    """Reads a started camera once and fans every frame out to the sinks.

    ``camera`` is opened and started by the caller and stays the caller's:
    :meth:`close` stops the reading, not the camera. Sinks may be added and
    removed while frames flow; a removed sink is finished and closed as at
    :meth:`close`.
    """

    def __init__(
        self,
        camera: FrameSource,
        sinks: tuple[FrameSink, ...] | list[FrameSink] = (),
        *,
        queue_frames: int = DEFAULT_SINK_QUEUE,
        close_timeout_s: float = DEFAULT_CLOSE_TIMEOUT_S,
    ) -> None:
        if isinstance(queue_frames, bool) or not isinstance(queue_frames, int) or queue_frames < 1:
            raise ValueError(
                f"queue_frames must be a whole number of at least 1, not {queue_frames!r}"
            )
        self._queue_frames = queue_frames
        self._close_timeout_s = float(close_timeout_s)
        self._lock = threading.Lock()  # guards _runners and _retired
        self._runners: tuple[_SinkRunner, ...] = ()
        self._retired: list[_SinkRunner] = []
        self._closed = False
        for sink in sinks:
            self._attach(sink)
        self._reader = CameraReader(camera, self._fan_out)
        self._reader.start()
        self._exit_registration = closing.close_at_exit(self)

    @property
    def frames_read(self) -> int:
        return self._reader.frames_read

    @property
    def read_errors(self) -> int:
        return self._reader.read_errors

    def _timeout_for(self, sink: FrameSink) -> float:
        own = getattr(sink, "close_timeout_s", None)
        if isinstance(own, (int, float)) and not isinstance(own, bool):
            return max(self._close_timeout_s, float(own))
        return self._close_timeout_s

    def _fan_out(self, snapshot: FrameSnapshot) -> None:
        # The tuple is replaced, never changed, so the reader needs no lock here.
        for runner in self._runners:
            runner.offer(snapshot)

    def _attach(self, sink: FrameSink) -> None:
        with self._lock:
            if any(runner.sink is sink for runner in self._runners):
                raise ValueError(f"sink {sink.name!r} is already fed by this stream")
            self._runners = self._runners + (_SinkRunner(sink, self._queue_frames),)

    def add_sink(self, sink: FrameSink) -> None:
        """Feeds ``sink`` from the next frame on."""
        if self._closed:
            raise ValueError("add_sink on a closed stream")
        self.raise_if_failed()
        self._attach(sink)

    def remove_sink(self, sink: FrameSink) -> SinkStatistics:
        """Stops feeding ``sink``, lets it finish its queue and closes it (bounded wait).

        Raises ``ValueError`` for a sink this stream does not feed and
        :class:`SinkFailed` when the sink failed or did not finish in time."""
        with self._lock:
            found = [runner for runner in self._runners if runner.sink is sink]
            if not found:
                raise ValueError(f"sink {getattr(sink, 'name', sink)!r} is not fed by this stream")
            self._runners = tuple(runner for runner in self._runners if runner.sink is not sink)
        runner = found[0]
        runner.finish()
        runner.closed.wait(self._timeout_for(sink))
        statistics = runner.statistics()
        with self._lock:
            self._retired.append(runner)
        runner.error_reported = True
        if statistics.error is not None or not runner.closed.is_set():
            raise SinkFailed({runner.name: statistics.error})
        return statistics

    def statistics(self) -> list[SinkStatistics]:
        """Per sink, in the order they were added (removed sinks last)."""
        with self._lock:
            runners = list(self._runners) + list(self._retired)
        return [runner.statistics() for runner in runners]

    def raise_if_failed(self) -> None:
        """Raises :class:`SinkFailed` for sinks that failed since the last report."""
        with self._lock:
            runners = list(self._runners)
        failed = [
            runner for runner in runners if runner.error is not None and not runner.error_reported
        ]
        if failed:
            for runner in failed:
                runner.error_reported = True
            raise SinkFailed({runner.name: runner.error for runner in failed})

    def close(self) -> None:
        """Stops reading, lets every sink finish and closes it; never waits longer than
        about ``close_timeout_s`` in all.

        Raises :class:`SinkFailed` naming every sink that failed at any time or
        did not finish in time (those are abandoned on their daemon threads)."""
        if self._closed:
            return
        self._closed = True
        closing.forget(self._exit_registration)
        self._reader.stop()
        with self._lock:
            # Removed sinks were finished and reported by remove_sink.
            runners = list(self._runners)
            self._runners = ()
        for runner in runners:
            runner.finish()
        began = time.monotonic()
        for runner in runners:
            deadline = began + self._timeout_for(runner.sink)
            runner.closed.wait(max(0.0, deadline - time.monotonic()))
        failures: dict[str, BaseException | None] = {}
        for runner in runners:
            if not runner.closed.is_set():
                runner.abandon_queue()
                _log.error(
                    "sink %s did not finish within %.1f s; abandoned",
                    runner.name,
                    self._timeout_for(runner.sink),
                )
                failures[runner.name] = None
            elif runner.error is not None:
                failures[runner.name] = runner.error
        with self._lock:
            self._retired = runners + self._retired
        if failures:
            raise SinkFailed(failures)

    def __enter__(self) -> FrameStream:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        if error is None:
            self.close()
            return
        # An error already on its way out is not replaced by a sink's.
        try:
            self.close()
        except SinkFailed as failed:
            _log.error("%s", failed)
