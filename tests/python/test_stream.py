"""The fan-out core: one reader, many sinks, none able to stall the others."""

import threading
import time

import numpy as np
import pytest

from conftest import DEADLINE_SCALE, run_python
from quorvan.stream import FrameStream, SinkFailed

WAIT_S = 10.0 * DEADLINE_SCALE


class _Format:
    def __init__(self, timestamp):
        self.timestamp = timestamp


class _RawFrame:
    def __init__(self, number):
        self._number = number

    def getRawData(self):
        return np.full((2, 3), self._number, dtype=np.int16)

    def getFrameFormat(self):
        return _Format(self._number)


class FakeCamera:
    """Hands out ``frames`` numbered frames, one every ``interval_s`` (then none);
    counts the frames given back."""

    def __init__(self, interval_s=0.002, frames=None):
        self._interval_s = interval_s
        self._frames = frames
        self._number = 0
        self.released = 0

    def requestFrame(self, timeout):
        time.sleep(self._interval_s)
        if self._frames is not None and self._number >= self._frames:
            return None
        self._number += 1
        return _RawFrame(self._number)

    def releaseFrame(self, frame):
        self.released += 1


class RecordingSink:
    """Keeps the timestamps it consumed; can be slowed, made to fail or to hang."""

    def __init__(self, name, delay_s=0.0, fail_after=None, hang=None):
        self.name = name
        self.delay_s = delay_s
        self.fail_after = fail_after
        self.hang = hang
        self.stamps = []
        self.closed = 0

    def consume(self, snapshot):
        if self.hang is not None:
            self.hang.wait()
        if self.fail_after is not None and len(self.stamps) >= self.fail_after:
            raise OSError("disk gone")
        time.sleep(self.delay_s)
        self.stamps.append(snapshot.timestamp)

    def close(self):
        self.closed += 1


def wait_until(condition):
    deadline = time.monotonic() + WAIT_S
    while not condition():
        assert time.monotonic() < deadline, "condition not reached in time"
        time.sleep(0.005)


def by_name(stream):
    return {entry.name: entry for entry in stream.statistics()}


def test_a_stuck_sink_holds_up_neither_the_reader_nor_a_fast_sink():
    frames, queue_frames = 200, 32
    camera = FakeCamera(interval_s=0.002, frames=frames)
    release = threading.Event()
    fast, stuck = RecordingSink("fast"), RecordingSink("stuck", hang=release)
    with FrameStream(camera, [fast, stuck], queue_frames=queue_frames) as stream:
        # While the stuck sink waits, the reader reads on and the fast sink keeps up.
        wait_until(lambda: by_name(stream)["fast"].consumed
                   + by_name(stream)["fast"].dropped == frames)
        assert stream.frames_read == frames and camera.released == frames
        assert fast.stamps == sorted(fast.stamps) and fast.stamps[-1] == frames
        # Only a long stall of its own thread on a busy machine costs it frames.
        assert by_name(stream)["fast"].dropped <= frames // 10
        assert stuck.stamps == []
        release.set()
        wait_until(lambda: by_name(stream)["stuck"].consumed
                   + by_name(stream)["stuck"].dropped == frames)
    stats = by_name(stream)
    # The stuck sink kept the newest frames its queue holds and counted the rest.
    assert stuck.stamps == sorted(stuck.stamps) and stuck.stamps[-1] == frames
    assert stats["stuck"].dropped >= frames - queue_frames - 1
    assert fast.closed == 1 and stuck.closed == 1


def test_a_failing_sink_stops_alone_and_its_error_surfaces_on_the_next_call_and_close():
    camera = FakeCamera()
    good, bad = RecordingSink("good"), RecordingSink("bad", fail_after=3)
    stream = FrameStream(camera, [good, bad])
    wait_until(lambda: by_name(stream)["bad"].error is not None)
    count = len(good.stamps)
    wait_until(lambda: len(good.stamps) > count + 20)
    assert len(bad.stamps) == 3 and bad.closed == 1

    with pytest.raises(SinkFailed, match="bad") as failed:
        stream.add_sink(RecordingSink("late"))
    assert isinstance(failed.value.failures["bad"], OSError)
    stream.raise_if_failed()  # reported once between calls
    with pytest.raises(SinkFailed, match="disk gone"):
        stream.close()
    assert good.closed == 1
    stream.close()  # a second close has nothing more to say


def test_close_with_a_stuck_sink_returns_in_bounded_time_and_names_it():
    camera = FakeCamera()
    release = threading.Event()
    stuck, fine = RecordingSink("stuck", hang=release), RecordingSink("fine")
    stream = FrameStream(camera, [stuck, fine], close_timeout_s=1.0 * DEADLINE_SCALE)
    wait_until(lambda: len(fine.stamps) >= 5)
    began = time.monotonic()
    with pytest.raises(SinkFailed, match="stuck: did not finish") as failed:
        stream.close()
    assert time.monotonic() - began < 1.0 * DEADLINE_SCALE + WAIT_S
    assert list(failed.value.failures) == ["stuck"]
    assert fine.closed == 1
    assert by_name(stream)["stuck"].stuck
    release.set()  # the abandoned thread ends on its own, closing its sink
    wait_until(lambda: stuck.closed == 1)


def test_sinks_come_and_go_while_frames_flow():
    camera = FakeCamera()
    first = RecordingSink("first")
    with FrameStream(camera, [first]) as stream:
        wait_until(lambda: len(first.stamps) >= 5)
        second = RecordingSink("second")
        stream.add_sink(second)
        with pytest.raises(ValueError, match="already"):
            stream.add_sink(second)
        wait_until(lambda: len(second.stamps) >= 5)
        # A late sink starts from a later frame, not the first.
        assert second.stamps[0] > first.stamps[0]
        removed = stream.remove_sink(first)
        assert first.closed == 1 and removed.consumed == len(first.stamps)
        count = len(first.stamps)
        wait_until(lambda: len(second.stamps) >= 20)
        assert len(first.stamps) == count
        with pytest.raises(ValueError, match="not fed"):
            stream.remove_sink(first)
    assert second.closed == 1 and first.closed == 1
    with pytest.raises(ValueError, match="closed"):
        stream.add_sink(RecordingSink("third"))


def test_a_sink_that_says_its_close_takes_longer_is_waited_for():
    class SlowClose(RecordingSink):
        close_timeout_s = 30.0

        def close(self):
            time.sleep(0.5)
            super().close()

    slow, quick = SlowClose("slow-close"), RecordingSink("quick")
    stream = FrameStream(FakeCamera(), [slow, quick], close_timeout_s=0.05)
    wait_until(lambda: slow.stamps and quick.stamps)
    stream.close()  # no SinkFailed: the slow close was given its own time
    assert slow.closed == 1 and quick.closed == 1


def test_a_sink_that_fails_to_close_is_reported():
    class BadClose(RecordingSink):
        def close(self):
            raise RuntimeError("flush failed")

    stream = FrameStream(FakeCamera(), [BadClose("bad-close")])
    with pytest.raises(SinkFailed, match="flush failed"):
        stream.close()


@pytest.mark.parametrize("queue_frames", [0, -1, 2.5, True])
def test_queue_size_must_be_a_positive_whole_number(queue_frames):
    with pytest.raises(ValueError, match="queue_frames"):
        FrameStream(FakeCamera(), [], queue_frames=queue_frames)


def test_the_package_outside_the_bus_imports_without_zenoh():
    result = run_python("""
        import importlib, sys

        class NoZenoh:
            def find_spec(self, name, path=None, target=None):
                if name == "zenoh" or name.startswith("zenoh."):
                    raise ImportError(f"{name} is not installed here")
                return None

        sys.meta_path.insert(0, NoZenoh())
        for module in ("quorvan.stream", "quorvan.record", "quorvan.viewer.server",
                       "quorvan.viewer.__main__", "quorvan.foxglove_live",
                       "quorvan.tools.record", "quorvan.live.camera_setup"):
            importlib.import_module(module)
        assert "zenoh" not in sys.modules
        try:
            from quorvan.live import Publisher
        except ImportError as error:
            print("bus refused:", error)
    """)
    assert result.returncode == 0, result.stderr
    # The blocker really was in force: the bus itself cannot be had.
    assert "bus refused: zenoh is not installed here" in result.stdout
