"""Replay of damaged recordings: damage is skipped and counted or refused with
ValueError, never silently ends the playback, spins or ignores a seek."""

import logging
import random
import time

import numpy as np
import pytest

import QuorvanDepthCamera as qdc
from hostile_recordings import raw_image_bytes, record_raw, rewrite
from quorvan import messages
from quorvan.replay import PlaybackCamera, iter_raw_frames, scan_recording

SUCCESS = qdc.TOFErrorCode.QuorvanSuccess
FRAME_TIMEOUT_MS = 3000


@pytest.fixture(scope="module")
def six_frames(tmp_path_factory):
    return record_raw(tmp_path_factory.mktemp("replay") / "six.mcap", frames=6)


DAMAGE = {
    "data shorter than declared": lambda data: data[: len(data) // 2],
    "step larger than the data": lambda data: raw_image_bytes(1, 180 * 4, 240, b"\0" * 64,
                                                              step=1 << 20),
    "encoding mono16": lambda data: raw_image_bytes(1, 2, 2, b"\0" * 8, encoding="mono16"),
    "height 2^31": lambda data: raw_image_bytes(1, 2**31, 240, b"\0" * 480),
    "garbage": lambda data: b"\x00\x01" + bytes(range(256)) * 3,
}


def _play_all(camera, expected):
    """Frames received until none comes for a while (fast playback sends them all)."""
    received = 0
    while received < expected + 2:
        frame = camera.requestFrame(1500 if received >= expected else FRAME_TIMEOUT_MS)
        if frame is None:
            break
        camera.releaseFrame(frame)
        received += 1
    return received


@pytest.mark.parametrize("damage", sorted(DAMAGE))
def test_damaged_frames_are_skipped_counted_and_logged(six_frames, tmp_path, caplog, damage):
    damaged = rewrite(six_frames, tmp_path / "damaged.mcap",
                      raw=lambda number, data: DAMAGE[damage](data) if number in (1, 3) else data)
    camera = PlaybackCamera(damaged, realtime=False)
    assert camera.open() == SUCCESS
    try:
        assert camera.frame_count == 6
        assert camera.start(qdc.TOFOutput.DEPTH) == SUCCESS
        with caplog.at_level(logging.WARNING, logger="quorvan"):
            received = _play_all(camera, 4)
            assert camera.wait_finished(10)
    finally:
        camera.close()
    assert received == 4, "the frames after a damaged one must still play"
    assert camera.frames_skipped == 2
    assert sum("skipped" in record.getMessage() for record in caplog.records) == 2


def test_loop_skips_a_damaged_first_frame_and_keeps_playing(six_frames, tmp_path):
    damaged = rewrite(six_frames, tmp_path / "first.mcap",
                      raw=lambda number, data: data[:40] if number == 0 else data)
    with PlaybackCamera(damaged, realtime=False, loop=True) as camera:
        assert camera.start(qdc.TOFOutput.DEPTH) == SUCCESS
        # More than one pass of the five good frames.
        received = _play_all(camera, 12)
        assert received >= 12
        assert camera.frames_skipped >= 2 and not camera.wait_finished(0)


def test_loop_over_nothing_playable_ends_with_an_error(six_frames, tmp_path):
    damaged = rewrite(six_frames, tmp_path / "all.mcap", raw=lambda number, data: data[:40])
    with PlaybackCamera(damaged, realtime=False, loop=True) as camera:
        assert camera.start(qdc.TOFOutput.DEPTH) == SUCCESS
        # Instead of re-reading the damage at full speed for ever.
        assert camera.wait_finished(10)
        feeder = camera._feeder
        feeder.join(5)
        assert not feeder.is_alive()
        assert camera.error is not None and "6 skipped" in camera.error
        assert camera.requestFrame(200) is None


def test_seek_during_a_long_recorded_pause_takes_effect_at_once(six_frames, tmp_path):
    stamps = [0, 33, 66, 60000, 60033, 60066]

    def restamp(number, data):
        image = messages.decode_image(data)
        return messages.encode_image(np.array(image.pixels), 1_000 + stamps[number])

    def republish(number, _):
        return (1_000 + stamps[number]) * 1_000_000

    # The header and the publish time both: whichever holds the camera's time.
    paused = rewrite(six_frames, tmp_path / "pause.mcap", raw=restamp, publish_time=republish)
    with PlaybackCamera(paused, realtime=True) as camera:
        assert camera.start(qdc.TOFOutput.DEPTH) == SUCCESS
        for _ in range(3):
            frame = camera.requestFrame(FRAME_TIMEOUT_MS)
            assert frame is not None
            camera.releaseFrame(frame)
        # The feeder now waits a minute for the fourth frame.
        assert camera.requestFrame(300) is None
        began = time.monotonic()
        camera.seek(0.0)
        frame = camera.requestFrame(10_000)
        waited = time.monotonic() - began
        assert frame is not None and waited < 10
        camera.releaseFrame(frame)


def test_bit_flips_in_a_compressed_recording_give_value_error_or_a_warning(tmp_path):
    source = record_raw(tmp_path / "zstd.mcap", frames=4, compression=True).read_bytes()
    generator = random.Random(22)
    target = tmp_path / "flipped.mcap"
    outcomes = {"refused": 0, "played": 0}
    for _ in range(30):
        damaged = bytearray(source)
        position = generator.randrange(8, len(damaged) - 8)
        damaged[position] ^= 1 << generator.randrange(8)
        target.write_bytes(bytes(damaged))
        try:
            index = scan_recording(target)
        except ValueError:
            outcomes["refused"] += 1
            continue
        # The feeder's own path: whatever it meets, it ends without raising.
        list(iter_raw_frames(target, len(index.raw_log_times_ns)))
        outcomes["played"] += 1
    assert sum(outcomes.values()) == 30


def _with_camera_field(name, value):
    return lambda record, values: ({**values, name: value} if record == "quorvan.camera"
                                   else values)


@pytest.mark.parametrize("metadata, field", [
    (_with_camera_field("width", "-1"), "width"),
    (_with_camera_field("height", str(2**40)), "height"),
    (_with_camera_field("height", "60000"), "height"),
    (_with_camera_field("bpp", "two"), "bpp"),
    (lambda record, values: {**values, "RANGE": str(2**40)} if record == "quorvan.controls"
     else values, "RANGE"),
])
def test_bad_recording_metadata_is_refused_with_value_error(six_frames, tmp_path, metadata,
                                                            field):
    damaged = rewrite(six_frames, tmp_path / "metadata.mcap", metadata=metadata)
    with pytest.raises(ValueError, match=field):
        PlaybackCamera(damaged).open()


@pytest.mark.parametrize("change", [{"status": "QuorvanSuccess"},
                                    {"control": "RANGE", "status": "QuorvanSuccess"}])
def test_a_control_change_without_its_fields_is_ignored(six_frames, tmp_path, change):
    damaged = rewrite(six_frames, tmp_path / "change.mcap",
                      extra_metadata=[("quorvan.control_change", change)])
    with PlaybackCamera(damaged) as camera:
        assert camera.frame_count == 6
        assert camera.getControl(qdc.TOFControl.RANGE) == 4000


def test_seek_refuses_a_time_that_is_not_a_number(six_frames):
    with PlaybackCamera(six_frames) as camera:
        for seconds in (float("nan"), float("inf"), float("-inf")):
            with pytest.raises(ValueError, match="finite"):
                camera.seek(seconds)
        assert camera.position == 0, "a refused seek must not move the playback"
