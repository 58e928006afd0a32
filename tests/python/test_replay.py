"""Recordings of the emulated kit played back through the playback camera: the
depth is what the live camera computed, bit for bit.

The kit's shot noise is a function of its seed and the capture's index, so two
runs of one configuration capture the same sequence of frames, each different
from the one before; here the kit delivers every frame however late a slow
machine is (skip_missed_frames = off). Frames pair up by sequence number,
which is the kit's capture index: the live reference is one run, frame by
frame, and a replay that repeated or skipped a frame could not match it."""

import pathlib
import time
import warnings

import numpy as np
import pytest

import QuorvanDepthCamera as qdc
from conftest import FRAME_TIMEOUT_MS, kit_config, stream_frames
from mcap.reader import make_reader
from mcap_ros2.decoder import DecoderFactory
from quorvan.record import Recorder
from quorvan.replay import PlaybackCamera

FRAMES = 60
SUCCESS = qdc.TOFErrorCode.QuorvanSuccess


def every_frame(tmp_path, name):
    """One of the kit's configurations, noise on, delivering every frame."""
    path = tmp_path / f"every_frame_{name}"
    path.write_text(pathlib.Path(kit_config(name)).read_text() +
                    "\nskip_missed_frames = off\nnoise = on\n")
    return str(path)


def live_frames(config, sequences, settings=()):
    """Depth, amplitude and confidence of the live frames with these sequence
    numbers, in their order."""
    camera = qdc.QuorvanCamera()
    assert camera.openWithFile(config, 0) == SUCCESS
    try:
        for control, value in settings:
            assert camera.setControl(control, value) == SUCCESS
        assert camera.start(qdc.TOFOutput.DEPTH) == SUCCESS
        found = {}
        while len(found) < len(set(sequences)):
            frame = camera.requestFrame(FRAME_TIMEOUT_MS)
            assert frame is not None
            sequence = frame.getSequence()
            assert sequence <= max(sequences), "a recorded frame's live twin was lost"
            if sequence in sequences:
                found[sequence] = (frame.getDepthData().copy(), frame.getAmplitudeData().copy(),
                                   frame.getConfidenceData().copy())
            camera.releaseFrame(frame)
        camera.stop()
        reference = [found[sequence] for sequence in sequences]
        assert any(a[0].tobytes() != b[0].tobytes() for a, b in zip(reference, reference[1:])), \
            "consecutive frames are identical: the reference cannot tell frames apart"
        return reference
    finally:
        camera.close()


def record_raw(path, config, frames, settings=(), output=qdc.TOFOutput.RAW):
    """Records `frames` frames; returns their sequence numbers."""
    camera = qdc.QuorvanCamera()
    assert camera.openWithFile(config, 0) == SUCCESS
    sequences = []
    try:
        for control, value in settings:
            assert camera.setControl(control, value) == SUCCESS
        with Recorder(path, camera) as recorder:
            assert camera.start(output) == SUCCESS
            while len(sequences) < frames:
                frame = camera.requestFrame(FRAME_TIMEOUT_MS)
                assert frame is not None
                sequences.append(frame.getSequence())
                recorder.write(frame)
                camera.releaseFrame(frame)
            camera.stop()
        assert recorder.dropped == 0
    finally:
        camera.close()
    return sequences


def replay_depth(path, frames, **options):
    """Depth frames of a replay as (timestamp, depth, amplitude, confidence)."""
    camera = PlaybackCamera(path, realtime=False, **options)
    assert camera.open() == SUCCESS
    try:
        return stream_frames(camera, qdc.TOFOutput.DEPTH, frames, lambda frame: (
            frame.getFrameFormat().timestamp, frame.getDepthData().copy(),
            frame.getAmplitudeData().copy(), frame.getConfidenceData().copy()))
    finally:
        camera.close()


def assert_bit_identical(played, reference):
    """Frame i of the replay is frame i of the live run, bit for bit."""
    assert len(played) <= len(reference)
    for index, ((_, *planes), live_planes) in enumerate(zip(played, reference)):
        for name, replayed, live in zip(("depth", "amplitude", "confidence"), planes, live_planes):
            assert replayed.tobytes() == live.tobytes(), f"{name} of frame {index} differs"


@pytest.fixture(scope="module")
def hqvga_recording(tmp_path_factory):
    folder = tmp_path_factory.mktemp("replay")
    config = every_frame(folder, "default.cfg")
    path = folder / "noisy.mcap"
    settings = [(qdc.TOFControl.RANGE, 2000)]
    sequences = record_raw(path, config, FRAMES, settings)
    return path, live_frames(config, sequences, settings)


def raw_topic(path):
    """The topic of a recording's raw frames: by plane metadata, else the older fixed one."""
    with open(path, "rb") as stream:
        for channel in make_reader(stream).get_summary().channels.values():
            plane = channel.metadata.get("quorvan.plane")
            if plane == "raw" or (plane is None and channel.topic == "/quorvan/raw"):
                return channel.topic
    raise AssertionError(f"{path} has no raw channel")


def recorded_frames(path):
    """(log time in ns, the camera's timestamp in ms) of each raw frame, as an
    independent reader (mcap's, with its ROS 2 decoder) sees them: the header
    stamp, or the publish time where the channel says it holds the camera's
    time (the header then carries host time)."""
    frames = []
    with open(path, "rb") as stream:
        reader = make_reader(stream, decoder_factories=[DecoderFactory()])
        for _, channel, message, image in reader.iter_decoded_messages(topics=[raw_topic(path)]):
            stamp = image.header.stamp
            stamp_ms = stamp.sec * 1000 + stamp.nanosec // 1_000_000
            if channel.metadata.get("quorvan.device_time") == "publish_time":
                # Host time in the header, the same the log time holds.
                assert stamp.sec * 1_000_000_000 + stamp.nanosec == message.log_time
                stamp_ms = message.publish_time // 1_000_000
            frames.append((message.log_time, stamp_ms))
    return frames


def recorded_stamps(path):
    return [stamp for _, stamp in recorded_frames(path)]


def seconds_to(path, number):
    """The seek that lands on raw frame ``number``."""
    times = [time for time, _ in recorded_frames(path)]
    return (times[number] - times[0]) / 1e9


def test_240x180_replay_is_bit_identical_to_the_live_camera(hqvga_recording):
    path, reference = hqvga_recording
    assert np.count_nonzero(reference[0][0]) > 0.4 * reference[0][0].size
    played = replay_depth(path, FRAMES)
    assert_bit_identical(played, reference)
    assert [stamp for stamp, *_ in played] == recorded_stamps(path)


def test_replay_answers_the_recorded_controls_and_ends(hqvga_recording):
    path, _ = hqvga_recording
    camera = PlaybackCamera(path, realtime=False)
    assert camera.open() == SUCCESS
    assert camera.getControl(qdc.TOFControl.RANGE) == 2000
    info = camera.getCameraInfo()
    assert (info.width, info.height, info.device_type) == (240, 180, qdc.TOFDeviceType.HQVGA)
    assert camera.frame_count == FRAMES and not camera.truncated
    assert camera.start(qdc.TOFOutput.RAW) == SUCCESS
    frames = 0
    while (frame := camera.requestFrame(500)) is not None:
        assert frame.getRawData().shape == (4 * 180, 240)
        camera.releaseFrame(frame)
        frames += 1
    assert frames == FRAMES and camera.wait_finished(5)
    assert camera.stop() == SUCCESS and camera.close() == SUCCESS


def test_seek_and_loop(hqvga_recording):
    path, reference = hqvga_recording
    stamps = recorded_stamps(path)
    camera = PlaybackCamera(path, realtime=False, loop=True)
    assert camera.open() == SUCCESS
    camera.seek(seconds_to(path, FRAMES - 5))
    assert camera.position == FRAMES - 5
    assert camera.start(qdc.TOFOutput.DEPTH) == SUCCESS
    seen = []
    for index in [*range(FRAMES - 5, FRAMES), 0, 1, 2]:  # the last five, then the start again
        frame = camera.requestFrame(FRAME_TIMEOUT_MS)
        assert frame is not None
        seen.append(frame.getFrameFormat().timestamp)
        assert frame.getDepthData().tobytes() == reference[index][0].tobytes(), index
        camera.releaseFrame(frame)
    assert seen == stamps[-5:] + stamps[:3]
    camera.close()


def test_seek_while_streaming_jumps_ahead(hqvga_recording):
    path, _ = hqvga_recording
    stamps = recorded_stamps(path)
    camera = PlaybackCamera(path, realtime=False)
    assert camera.open() == SUCCESS
    assert camera.start(qdc.TOFOutput.RAW) == SUCCESS
    seen = []
    while (frame := camera.requestFrame(500)) is not None:
        seen.append(frame.getFrameFormat().timestamp)
        camera.releaseFrame(frame)
        if len(seen) == 3:
            camera.seek(seconds_to(path, FRAMES - 3))
    camera.close()
    # At most the frames processed before the seek come in between.
    assert seen[:3] == stamps[:3] and seen[-3:] == stamps[-3:]
    assert len(seen) <= 3 + 2 + 3


def test_realtime_replay_keeps_the_recorded_spacing(hqvga_recording):
    path, _ = hqvga_recording
    stamps = recorded_stamps(path)
    camera = PlaybackCamera(path, realtime=True)
    assert camera.open() == SUCCESS
    camera.seek(seconds_to(path, FRAMES - 10))
    begin = time.monotonic()
    assert camera.start(qdc.TOFOutput.DEPTH) == SUCCESS
    assert camera.wait_finished(10)
    elapsed = time.monotonic() - begin
    camera.close()
    # Generous bound: paced pushes cannot finish much before the recorded span.
    assert elapsed >= 0.8 * (stamps[-1] - stamps[-10]) / 1000.0


@pytest.mark.parametrize("config, mode, frames",
                         [("vga640_single.cfg", 0, 3), ("vga640_double.cfg", 1, 2)])
def test_640x480_replay_is_bit_identical_to_the_live_camera(tmp_path, monkeypatch, config, mode,
                                                           frames):
    monkeypatch.chdir(tmp_path)  # the 640x480 device writes its configuration files here
    config_path = every_frame(tmp_path, config)
    settings = [(qdc.TOFControl.MODE, mode)]
    path = tmp_path / "vga.mcap"
    sequences = record_raw(path, config_path, frames, settings)
    reference = live_frames(config_path, sequences, settings)
    assert np.count_nonzero(reference[0][0] > 0) > 0.4 * reference[0][0].size
    played = replay_depth(path, frames)
    assert_bit_identical(played, reference)


def test_truncated_recording_plays_its_complete_frames_with_a_warning(hqvga_recording, tmp_path):
    path, reference = hqvga_recording
    data = path.read_bytes()
    cut = tmp_path / "cut.mcap"
    cut.write_bytes(data[: len(data) // 2])
    camera = PlaybackCamera(cut, realtime=False)
    with pytest.warns(RuntimeWarning, match="complete raw frames"):
        assert camera.open() == SUCCESS
    complete = camera.frame_count
    camera.close()
    assert 0 < complete < FRAMES
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        played = replay_depth(cut, complete)
    assert_bit_identical(played, reference)


def test_files_that_are_no_recording_are_refused_in_one_line(tmp_path):
    text = tmp_path / "notes.mcap"
    text.write_text("this is not a recording\n")
    empty = tmp_path / "empty.mcap"
    empty.write_bytes(b"")
    for path in (text, empty):
        with pytest.raises(ValueError, match="not an MCAP recording") as error:
            PlaybackCamera(path).open()
        assert "\n" not in str(error.value)
    depth_only = tmp_path / "depth.mcap"
    record_raw(depth_only, kit_config("noise_free.cfg"), 2, output=qdc.TOFOutput.DEPTH)
    with pytest.raises(ValueError, match="no raw frames"):
        PlaybackCamera(depth_only).open()
    with pytest.raises(RuntimeError, match="not open"):
        PlaybackCamera(depth_only).requestFrame(10)


def test_a_640x480_double_recording_answers_the_range_it_is_computed_with(tmp_path, monkeypatch):
    # Recorded without setting MODE: the controls recorded when the recorder
    # was created are the device's before start took the kit's double layout.
    monkeypatch.chdir(tmp_path)
    path = tmp_path / "double.mcap"
    record_raw(path, every_frame(tmp_path, "vga640_double.cfg"), 2)
    with PlaybackCamera(path, realtime=False) as camera:
        assert camera.start(qdc.TOFOutput.DEPTH) == SUCCESS
        frame = camera.requestFrame(FRAME_TIMEOUT_MS)
        assert frame is not None
        camera.releaseFrame(frame)
        assert camera.getControl(qdc.TOFControl.MODE) == 1
        assert camera.getControl(qdc.TOFControl.RANGE) == 4500


def joined(first, second, target):
    """``second``'s raw frames after ``first``'s in one file, with the recorded
    MODE change between them, as a recording restarted in the other mode."""
    from mcap.writer import CompressionType, Writer

    with open(first, "rb") as a, open(second, "rb") as b, open(target, "wb") as out:
        writer = Writer(out, compression=CompressionType.NONE)
        writer.start(profile="ros2", library="joined")
        channel = None
        last = 0
        for number, source in enumerate((make_reader(a), make_reader(b))):
            offset = last + 1_000_000_000 - source.get_summary().statistics.message_start_time
            if number == 0:
                offset = 0
                for record in source.iter_metadata():
                    writer.add_metadata(record.name, dict(record.metadata))
            else:
                writer.add_metadata("quorvan.control_change", {
                    "control": "MODE", "value": "1", "status": "QuorvanSuccess",
                    "log_time_ns": str(last + 500_000_000), "frames_written": "2"})
            for schema, record_channel, message in source.iter_messages(
                    topics=[raw_topic(first if number == 0 else second)]):
                if channel is None:
                    schema_id = writer.register_schema(schema.name, schema.encoding, schema.data)
                    channel = writer.register_channel(record_channel.topic,
                                                      record_channel.message_encoding, schema_id,
                                                      dict(record_channel.metadata))
                last = message.log_time + offset
                writer.add_message(channel, last, message.data, last)
        writer.finish()
    return target


def test_a_640x480_frequency_mode_change_restarts_the_replay_in_the_new_layout(tmp_path,
                                                                              monkeypatch):
    monkeypatch.chdir(tmp_path)
    single, double = tmp_path / "single.mcap", tmp_path / "double.mcap"
    record_raw(single, every_frame(tmp_path, "vga640_single.cfg"), 2,
               [(qdc.TOFControl.MODE, 0)])
    record_raw(double, every_frame(tmp_path, "vga640_double.cfg"), 2,
               [(qdc.TOFControl.MODE, 1)])
    both = joined(single, double, tmp_path / "both.mcap")
    expected = replay_depth(single, 2) + replay_depth(double, 2)
    with PlaybackCamera(both, realtime=False) as camera:
        assert camera.frame_count == 4
        assert camera.start(qdc.TOFOutput.DEPTH) == SUCCESS
        modes = []
        for index in range(4):
            frame = camera.requestFrame(FRAME_TIMEOUT_MS)
            assert frame is not None, f"frame {index} did not come"
            assert frame.getDepthData().tobytes() == expected[index][1].tobytes(), index
            camera.releaseFrame(frame)
            modes.append(camera.getControl(qdc.TOFControl.MODE))
        assert modes[0] == 0 and modes[-1] == 1
        assert camera.frames_skipped == 0
