"""Host time on frames, against the emulated kit's own clock model, and
frame sets of several cameras (quorvan.framesets over the native matcher)."""

import contextlib
import threading
import time

import pytest

import QuorvanDepthCamera as qdc
from conftest import FRAME_TIMEOUT_MS, kit_config
from quorvan.framesets import FrameSets

# Two kits whose clocks run 700 ppm apart, minutes from the host's.
KIT_CLOCKS = [(123_456.0, 400.0), (-20_000.0, -300.0)]


def kit_truth_ns(device_ms, offset_ms, drift_ppm):
    """When the kit's clock read `device_ms`, on the host's monotonic clock
    (the model of emulation/evk_sdk/kit_clock.h)."""
    since_epoch = device_ms * 1_000_000 - round(offset_ms * 1e6)
    rate = drift_ppm * 1e-6
    return since_epoch - round(since_epoch * rate / (1.0 + rate))


def stream_host_times(camera, seconds, out):
    """Appends (host time, device stamp, receipt on both host clocks) per frame."""
    started = time.monotonic()
    while time.monotonic() - started < seconds:
        frame = camera.requestFrame(FRAME_TIMEOUT_MS)
        if frame is None:
            out.append(None)
            return
        received = (time.monotonic_ns(), time.time_ns())
        host = frame.getHostTime()
        device_ms = frame.getDeviceTimestamp()
        same = (
            device_ms == frame.getFrameFormat().timestamp
            and frame.getHostTimestampNs() == host.monotonic_ns
            and frame.getHostRealtimeNs() == host.realtime_ns
        )
        camera.releaseFrame(frame)
        out.append((host, device_ms, received, same))


def test_two_kits_with_their_own_clocks_map_to_host_time_and_pair_up(tmp_path):
    # Leaving the with stops and closes every camera opened so far.
    with contextlib.ExitStack() as open_cameras:
        cameras = []
        for index, (offset_ms, drift_ppm) in enumerate(KIT_CLOCKS):
            config = tmp_path / f"kit{index}.cfg"
            config.write_text(
                f"noise = off\nframe_rate = 30\nseed = {index + 5}\n"
                f"clock_offset_ms = {offset_ms}\nclock_drift_ppm = {drift_ppm}\n"
                "delivery_jitter_ms = 6\n"
            )
            camera = open_cameras.enter_context(qdc.QuorvanCamera())
            assert camera.openWithFile(str(config), 0) == qdc.TOFErrorCode.QuorvanSuccess
            cameras.append(camera)
        for camera in cameras:
            assert camera.start(qdc.TOFOutput.RAW) == qdc.TOFErrorCode.QuorvanSuccess
        results = [[] for _ in cameras]
        threads = [
            threading.Thread(target=stream_host_times, args=(camera, 4.5, out))
            for camera, out in zip(cameras, results)
        ]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    timeline = []
    for index, ((offset_ms, drift_ppm), frames) in enumerate(zip(KIT_CLOCKS, results)):
        assert frames and None not in frames, f"camera {index} stopped delivering"
        assert not frames[0][0].settled
        settled_errors_ms = []
        for host, device_ms, (received_ns, received_real_ns), same in frames:
            assert same
            # Captured before it was received, and not long before.
            assert 0 <= received_ns - host.monotonic_ns < 2_000_000_000
            # The real-time stamp is the same moment on the other clock.
            clock_gap_ns = (received_real_ns - received_ns) - (host.realtime_ns - host.monotonic_ns)
            assert abs(clock_gap_ns) < 50_000_000
            # Past the first second the mapping is off by a few milliseconds
            # at most, far less than the sets' tolerance.
            if host.monotonic_ns - frames[0][0].monotonic_ns > 1_000_000_000:
                timeline.append((host.monotonic_ns, index))
            if host.settled:
                truth = kit_truth_ns(device_ms, offset_ms, drift_ppm)
                settled_errors_ms.append(abs(host.monotonic_ns - truth) / 1e6)
        assert len(settled_errors_ms) > 20, f"camera {index}: the mapping never settled"
        settled_errors_ms.sort()
        # Generous bounds: a few seconds of a busy machine's arrivals (late,
        # never early) against a truth minutes off the host's clock; the
        # figures that count come from bench/multicamera.py.
        assert settled_errors_ms[len(settled_errors_ms) // 2] < 2.0
        assert settled_errors_ms[-1] < 5.0
        # A few seconds of a busy machine's arrivals fix the drift only
        # roughly (to 25 ppm after a minute, bench/multicamera.py).
        assert frames[-1][0].drift_ppm == pytest.approx(drift_ppm, abs=350)
    # Fed as they would arrive: each camera in order, the two interleaved.
    sets = FrameSets(len(cameras), frame_rate=30.0)
    for host_ns, index in sorted(timeline):
        sets.add(index, host_ns, host_ns)
    sets.flush()
    paired = 2 * len(sets.take_sets())
    unpaired = len(sets.take_unmatched())
    # Frames lost to a busy consumer thread (each costs its partner too) and
    # the ends of the two streams stay unmatched; the others pair up.
    assert paired >= 0.8 * (paired + unpaired)


def test_host_time_of_a_released_frame_raises():
    camera = qdc.QuorvanCamera()
    assert camera.openWithFile(kit_config("unpaced.cfg"), 0) == qdc.TOFErrorCode.QuorvanSuccess
    try:
        camera.start(qdc.TOFOutput.DEPTH)
        frame = camera.requestFrame(FRAME_TIMEOUT_MS)
        assert frame is not None
        assert frame.getHostTimestampNs() > 0
        assert frame.getDeviceTimestamp() == frame.getFrameFormat().timestamp
        camera.releaseFrame(frame)
        with pytest.raises(RuntimeError):
            frame.getHostTime()
        with pytest.raises(RuntimeError):
            frame.getDeviceTimestamp()
        camera.stop()
    finally:
        camera.close()


def test_records_of_a_stream_show_every_field_in_their_repr():
    with qdc.QuorvanCamera() as camera:
        assert camera.openWithFile(kit_config("unpaced.cfg"), 0) == qdc.TOFErrorCode.QuorvanSuccess
        camera.start(qdc.TOFOutput.DEPTH)
        frame = camera.requestFrame(FRAME_TIMEOUT_MS)
        assert frame is not None
        host_time = frame.getHostTime()
        camera.releaseFrame(frame)
        statistics = camera.getStatistics()
    assert repr(host_time) == (
        f"QuorvanHostTime(monotonic_ns={host_time.monotonic_ns}, "
        f"realtime_ns={host_time.realtime_ns}, drift_ppm={host_time.drift_ppm!r}, "
        f"settled={host_time.settled})"
    )
    fields = ("captured", "delivered", "overwritten", "skipped", "sensor_failures", "queued",
              "disconnects", "reconnects", "lost_while_disconnected")
    assert statistics.delivered >= 1
    assert repr(statistics) == "QuorvanStatistics({})".format(
        ", ".join(f"{name}={getattr(statistics, name)}" for name in fields))


PERIOD_NS = 33_333_333


def test_frame_sets_pair_cameras_and_report_the_rest():
    sets = FrameSets(3, frame_rate=30.0)
    assert sets.tolerance_ns == 16_666_667
    # Camera 1 runs 5 ms late, camera 2 10 ms early; camera 2 misses frame 3
    # and camera 0 delivers an extra frame at the end.
    for k in range(6):
        sets.add(0, 10**12 + k * PERIOD_NS, ("a", k))
        sets.add(1, 10**12 + k * PERIOD_NS + 5_000_000, ("b", k))
        if k != 3:
            sets.add(2, 10**12 + k * PERIOD_NS - 10_000_000, ("c", k))
    sets.add(0, 10**12 + 6 * PERIOD_NS, ("a", 6))
    matched = sets.take_sets()
    sets.flush()
    unmatched = sets.take_unmatched()
    assert [tuple(item[1] for item in s) for s in matched] == [(k, k, k) for k in (0, 1, 2, 4, 5)]
    assert all([item[0] for item in s] == ["a", "b", "c"] for s in matched)
    assert sorted((u.camera, u.item) for u in unmatched) == [(0, ("a", 3)), (0, ("a", 6)),
                                                              (1, ("b", 3))]
    assert sets.pending() == 0


def test_frame_sets_refuse_bad_input_and_stay_usable():
    with pytest.raises(ValueError):
        FrameSets(0)
    with pytest.raises(ValueError):
        FrameSets(2, frame_rate=0.0)
    with pytest.raises(ValueError):
        qdc.QuorvanFrameSetMatcher(2, -1)
    sets = FrameSets(2, tolerance_ns=1_000_000)
    sets.add(0, 5_000_000, "first")
    with pytest.raises(ValueError, match="order"):
        sets.add(0, 4_000_000, "earlier")
    with pytest.raises(ValueError, match="out of range"):
        sets.add(2, 5_000_000, "nobody's")
    sets.add(1, 5_500_000, "partner")
    assert sets.take_sets() == [("first", "partner")]
