"""Replay of recordings written here frame by frame: the older layout (raw frames
on /quorvan/raw) and the namespaced one (channels found by their quorvan.plane
metadata, raw and depth together), seeks through the index and through a scan,
and the recorded controls followed frame by frame."""

import pathlib
import warnings

import numpy as np
import pytest
from mcap.writer import CompressionType, Writer

import QuorvanDepthCamera as qdc
from conftest import FRAME_TIMEOUT_MS, kit_config, stream_frames
from quorvan import messages, recording_file
from quorvan.replay import PlaybackCamera

SUCCESS = qdc.TOFErrorCode.QuorvanSuccess
FRAMES = 8
PERIOD_NS = 33_333_333
START_NS = 1_700_000_000_000_000_000


@pytest.fixture(scope="module")
def kit(tmp_path_factory):
    """Raw planes of the emulated 240x180 kit (noise on, so frames differ) and its metadata."""
    config = pathlib.Path(kit_config("unpaced.cfg")).read_text() + "\nnoise = on\n"
    folder = tmp_path_factory.mktemp("kit")
    (folder / "kit.cfg").write_text(config)
    with qdc.QuorvanCamera() as camera:
        assert camera.openWithFile(str(folder / "kit.cfg"), 0) == SUCCESS
        planes = stream_frames(camera, qdc.TOFOutput.RAW, FRAMES,
                               lambda frame: frame.getRawData().copy())
        info = camera.getCameraInfo()
    metadata = {name: str(getattr(info, name)) for name in ("index", "width", "height",
                                                             "bit_width", "bpp")}
    metadata.update(connect=info.connect.name, device_type=info.device_type.name,
                    type=info.type.name)
    return planes, metadata


def frame_time(number):
    return START_NS + number * PERIOD_NS


def write_recording(path, kit, *, namespaced=False, depth=False, raw=True,
                    controls=({"RANGE": "2000"},), changes=()):
    """A recording of the kit's planes: ``controls`` are undated quorvan.controls
    records in file order; ``changes`` are (frame number, control, value): a
    successful quorvan.control_change logged just before that frame."""
    planes, camera = kit
    with open(path, "wb") as stream:
        # About one frame a chunk, so that a cut loses only the last frame.
        writer = Writer(stream, compression=CompressionType.NONE, chunk_size=200_000)
        writer.start(profile="ros2", library="replay format test")
        schema = writer.register_schema(messages.IMAGE_SCHEMA.name, messages.SCHEMA_ENCODING,
                                        messages.IMAGE_SCHEMA.data)

        def channel(topic, plane):
            metadata = {"quorvan.plane": plane, "quorvan.namespace": "/cam"} if namespaced else {}
            return writer.register_channel(topic, messages.MESSAGE_ENCODING, schema, metadata)

        depth_channel = channel("/cam/depth/image_raw" if namespaced else messages.TOPIC_DEPTH,
                                "depth") if depth else None
        raw_channel = channel("/cam/raw/image_raw" if namespaced else messages.TOPIC_RAW, "raw")
        writer.add_metadata("quorvan.camera", camera)
        for values in controls:
            writer.add_metadata("quorvan.controls", values)
        for number, control, value in changes:
            writer.add_metadata("quorvan.control_change", {
                "control": control, "value": value, "status": "QuorvanSuccess",
                "log_time_ns": str(frame_time(number) - PERIOD_NS // 2),
                "frames_written": str(number)})
        for number, plane in enumerate(planes):
            log_time = frame_time(number)
            stamp_ms = 5000 + 33 * number
            if depth_channel is not None:
                depth_plane = np.full((180, 240), 1.5 + number, np.float32)
                writer.add_message(depth_channel, log_time,
                                   messages.encode_image(depth_plane, stamp_ms), log_time)
            if raw:
                writer.add_message(raw_channel, log_time, messages.encode_image(plane, stamp_ms),
                                   log_time)
        writer.finish()
    return pathlib.Path(path)


def cut(path, target):
    """``path`` without its last tenth: no summary, its last frames incomplete."""
    data = path.read_bytes()
    target.write_bytes(data[: len(data) * 9 // 10])
    return target


def play(path, frames, *, seek=None, output=qdc.TOFOutput.DEPTH):
    """Depth planes (or raw planes) of ``frames`` frames of a fast replay."""
    camera = PlaybackCamera(path, realtime=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # cut files warn at open
        assert camera.open() == SUCCESS
    try:
        if seek is not None:
            camera.seek(seek)

        def stamp_and_plane(frame):
            plane = frame.getDepthData() if output == qdc.TOFOutput.DEPTH else frame.getRawData()
            return frame.getFrameFormat().timestamp, plane.copy()

        return stream_frames(camera, output, frames, stamp_and_plane)
    finally:
        camera.close()


def same(played, other):
    return [(stamp, plane.tobytes()) for stamp, plane in played] == \
        [(stamp, plane.tobytes()) for stamp, plane in other]


def test_the_older_and_the_namespaced_layout_replay_the_same_frames(kit, tmp_path):
    older = write_recording(tmp_path / "older.mcap", kit)
    # Depth beside raw, written first in each frame: replay must still pick the raw.
    both = write_recording(tmp_path / "both.mcap", kit, namespaced=True, depth=True)
    reference = play(older, FRAMES)
    assert same(play(both, FRAMES), reference)
    raw = play(both, 2, output=qdc.TOFOutput.RAW)
    assert [plane.tobytes() for _, plane in raw] == [plane.tobytes() for plane in kit[0][:2]]
    index = recording_file.scan_recording(both)
    assert index.indexed and index.raw_topic == "/cam/raw/image_raw"


def test_a_recording_of_depth_alone_is_refused(kit, tmp_path):
    for namespaced in (False, True):
        path = write_recording(tmp_path / f"depth{namespaced}.mcap", kit, namespaced=namespaced,
                               depth=True, raw=False)
        with pytest.raises(ValueError, match="no raw frames"):
            PlaybackCamera(path).open()


@pytest.mark.parametrize("damaged", [False, True], ids=["indexed", "cut"])
def test_a_seek_decodes_no_frame_before_its_target(kit, tmp_path, monkeypatch, damaged):
    path = write_recording(tmp_path / "whole.mcap", kit)
    if damaged:
        path = cut(path, tmp_path / "cut.mcap")
    reference = play(path, 1, seek=6 * PERIOD_NS / 1e9)
    decoded = []
    real_decode = messages.decode_image
    monkeypatch.setattr(messages, "decode_image",
                        lambda data: decoded.append(1) or real_decode(data))
    camera = PlaybackCamera(path, realtime=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        assert camera.open() == SUCCESS
    try:
        assert camera.indexed is not damaged
        camera.seek(5.5 * PERIOD_NS / 1e9)  # between frames 5 and 6: frame 6
        assert camera.position == 6
        assert camera.start(qdc.TOFOutput.DEPTH) == SUCCESS
        frame = camera.requestFrame(FRAME_TIMEOUT_MS)
        assert frame is not None
        assert frame.getDepthData().tobytes() == reference[0][1].tobytes()
        camera.releaseFrame(frame)
        camera.stop()
    finally:
        camera.close()
    # Frame 6, and at most the one the feeder read ahead.
    assert len(decoded) <= 2


def test_start_after_the_end_plays_again_from_the_start(kit, tmp_path):
    path = write_recording(tmp_path / "again.mcap", kit)
    with PlaybackCamera(path, realtime=False) as camera:
        for _ in range(2):
            assert camera.start(qdc.TOFOutput.RAW) == SUCCESS
            stamps = []
            while (frame := camera.requestFrame(500)) is not None:
                stamps.append(frame.getFrameFormat().timestamp)
                camera.releaseFrame(frame)
            assert camera.wait_finished(5)
            assert camera.stop() == SUCCESS
            assert stamps == [5000 + 33 * number for number in range(FRAMES)]


def test_the_recorded_range_is_followed_frame_by_frame(kit, tmp_path):
    at_2000 = play(write_recording(tmp_path / "2000.mcap", kit), FRAMES)
    at_4000 = play(write_recording(tmp_path / "4000.mcap", kit, controls=({"RANGE": "4000"},)),
                   FRAMES)
    assert not same(at_2000[:1], at_4000[:1]), "the range must change the depth"
    changed = write_recording(tmp_path / "changed.mcap", kit, changes=[(3, "RANGE", "4000"),
                                                                       (6, "RANGE", "2000")])
    expected = at_2000[:3] + at_4000[3:6] + at_2000[6:]
    assert same(play(changed, FRAMES), expected)
    # A seek back over a change, and one across it, land on the controls of their frame.
    assert same(play(changed, 2, seek=4 * PERIOD_NS / 1e9), at_4000[4:6])
    assert same(play(changed, 1, seek=7 * PERIOD_NS / 1e9), at_2000[7:])
    with PlaybackCamera(changed) as camera:
        ranges = []
        for number in (0, 3, 5, 6):
            camera.seek(number * PERIOD_NS / 1e9)
            ranges.append(camera.getControl(qdc.TOFControl.RANGE))
        assert ranges == [2000, 4000, 4000, 2000]


def test_the_controls_written_with_the_first_frame_override_the_earlier_snapshot(kit, tmp_path):
    snapshots = ({"RANGE": "2000", "MODE": "0"}, {"RANGE": "4000", "MODE": "0"})
    path = write_recording(tmp_path / "snapshots.mcap", kit, controls=snapshots)
    at_4000 = play(write_recording(tmp_path / "4000.mcap", kit, controls=({"RANGE": "4000"},)),
                   2)
    assert same(play(path, 2), at_4000)
    with PlaybackCamera(path) as camera:
        assert camera.getControl(qdc.TOFControl.RANGE) == 4000


def test_a_damaged_summary_falls_back_to_a_scan(kit, tmp_path):
    path = write_recording(tmp_path / "summary.mcap", kit)
    data = bytearray(path.read_bytes())
    # The footer's summary start now points into the middle of a frame.
    footer = len(data) - 8 - 29  # opcode, length, summary start, summary offsets, CRC
    data[footer + 9:footer + 17] = (len(data) // 2).to_bytes(8, "little")
    damaged = tmp_path / "damaged.mcap"
    damaged.write_bytes(bytes(data))
    index = recording_file.scan_recording(damaged)
    assert not index.indexed and len(index.raw_log_times_ns) == FRAMES
    assert same(play(damaged, FRAMES), play(path, FRAMES))


def test_a_recording_of_two_cameras_replays_the_one_asked_for(kit, tmp_path):
    planes, camera = kit
    path = tmp_path / "two.mcap"
    with open(path, "wb") as stream:
        writer = Writer(stream, compression=CompressionType.NONE, chunk_size=200_000)
        writer.start(profile="ros2", library="replay format test")
        schema = writer.register_schema(messages.IMAGE_SCHEMA.name, messages.SCHEMA_ENCODING,
                                        messages.IMAGE_SCHEMA.data)
        channels = {namespace: writer.register_channel(
            f"{namespace}/raw/image_raw", messages.MESSAGE_ENCODING, schema,
            {"quorvan.plane": "raw", "quorvan.namespace": namespace})
            for namespace in ("/left", "/right")}
        writer.add_metadata("quorvan.camera", camera)
        for number, plane in enumerate(planes[:4]):
            for namespace, picked in (("/left", plane), ("/right", planes[-1 - number])):
                writer.add_message(channels[namespace], frame_time(number),
                                   messages.encode_image(picked, 100 + number), frame_time(number))
        writer.finish()

    def raw_planes(**options):
        with PlaybackCamera(path, realtime=False, **options) as playback:
            assert playback.frame_count == 4
            assert playback.start(qdc.TOFOutput.RAW) == SUCCESS
            played = []
            for _ in range(4):
                frame = playback.requestFrame(FRAME_TIMEOUT_MS)
                assert frame is not None
                played.append(frame.getRawData().tobytes())
                playback.releaseFrame(frame)
            return played

    assert raw_planes() == [plane.tobytes() for plane in planes[:4]]
    assert raw_planes(namespace="/right") == [plane.tobytes() for plane in planes[::-1][:4]]
    with pytest.raises(ValueError, match="no raw frames"):
        PlaybackCamera(path, namespace="/middle").open()
