"""Host time on frames, against the emulated kit's own clock model, and
frame sets of several cameras (quorvan.framesets over the native matcher)."""

import time

import pytest

import QuorvanDepthCamera as qdc
from conftest import FRAME_TIMEOUT_MS, kit_config
from quorvan.framesets import FrameSets

OFFSET_MS = 123_456.0
DRIFT_PPM = 400.0


def kit_truth_ns(device_ms, offset_ms, drift_ppm):
    """When the kit's clock read `device_ms`, on the host's monotonic clock
    (the model of emulation/evk_sdk/kit_clock.h)."""
    since_epoch = device_ms * 1_000_000 - round(offset_ms * 1e6)
    rate = drift_ppm * 1e-6
    return since_epoch - round(since_epoch * rate / (1.0 + rate))


def test_frames_carry_host_time_that_matches_the_kits_clock(tmp_path):
    config = tmp_path / "drifting.cfg"
    config.write_text(
        "noise = off\nframe_rate = 60\n"
        f"clock_offset_ms = {OFFSET_MS}\nclock_drift_ppm = {DRIFT_PPM}\ndelivery_jitter_ms = 6\n"
    )
    camera = qdc.QuorvanCamera()
    assert camera.openWithFile(str(config), 0) == qdc.TOFErrorCode.QuorvanSuccess
    try:
        assert camera.start(qdc.TOFOutput.RAW) == qdc.TOFErrorCode.QuorvanSuccess
        started = time.monotonic()
        settled_errors_ms = []
        first = None
        while time.monotonic() - started < 4.5:
            frame = camera.requestFrame(FRAME_TIMEOUT_MS)
            assert frame is not None
            received_ns, received_real_ns = time.monotonic_ns(), time.time_ns()
            host = frame.getHostTime()
            device_ms = frame.getDeviceTimestamp()
            assert device_ms == frame.getFrameFormat().timestamp
            assert frame.getHostTimestampNs() == host.monotonic_ns
            assert frame.getHostRealtimeNs() == host.realtime_ns
            camera.releaseFrame(frame)
            if first is None:
                first = host
                assert not first.settled
            # Captured before it was received, and not long before.
            assert 0 <= received_ns - host.monotonic_ns < 2_000_000_000
            # The real-time stamp is the same moment on the other clock.
            clock_gap_ns = (received_real_ns - received_ns) - (host.realtime_ns - host.monotonic_ns)
            assert abs(clock_gap_ns) < 50_000_000
            if host.settled:
                truth = kit_truth_ns(device_ms, OFFSET_MS, DRIFT_PPM)
                settled_errors_ms.append(abs(host.monotonic_ns - truth) / 1e6)
        camera.stop()
    finally:
        camera.close()
    assert len(settled_errors_ms) > 30, "the mapping never settled"
    settled_errors_ms.sort()
    # Generous bounds: a busy machine only ever delays arrivals.
    assert settled_errors_ms[len(settled_errors_ms) // 2] < 1.0
    assert settled_errors_ms[-1] < 3.0
    assert host.drift_ppm == pytest.approx(DRIFT_PPM, abs=150)


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
