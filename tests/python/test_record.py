"""Recordings opened by an independent reader (mcap_ros2's own decoder)."""

import io
import time

import numpy as np
import pytest
from mcap.reader import make_reader
from mcap_ros2.decoder import DecoderFactory

import QuorvanDepthCamera as qdc
from conftest import FRAME_TIMEOUT_MS, HQVGA_HEIGHT, HQVGA_WIDTH, kit_config
from quorvan import messages
from quorvan.record import Recorder, record_camera

FRAMES = 60


def record_kit(path, output, frames=FRAMES, **options):
    camera = qdc.QuorvanCamera()
    assert camera.openWithFile(kit_config("noise_free.cfg"), 0) == qdc.TOFErrorCode.QuorvanSuccess
    try:
        with Recorder(path, camera, kit_config=kit_config("noise_free.cfg"), **options) as rec:
            assert camera.start(output) == qdc.TOFErrorCode.QuorvanSuccess
            rec.setControl(qdc.TOFControl.RANGE, 2000)
            record_camera(camera, rec, frames=frames, timeout_ms=FRAME_TIMEOUT_MS)
            camera.stop()
        return rec
    finally:
        camera.close()


def decoded_messages(path):
    with open(path, "rb") as stream:
        reader = make_reader(stream, decoder_factories=[DecoderFactory()])
        return list(reader.iter_decoded_messages()), list(reader.iter_metadata()), \
            list(reader.iter_attachments())


def test_raw_recording_decodes_with_mcap_ros2(tmp_path):
    path = tmp_path / "raw.mcap"
    recorder = record_kit(path, qdc.TOFOutput.RAW)
    assert (recorder.written, recorder.dropped) == (FRAMES, 0)
    decoded, metadata, attachments = decoded_messages(path)
    by_topic = {}
    for schema, channel, message, ros in decoded:
        by_topic.setdefault(channel.topic, []).append((message, ros))
    assert sorted(by_topic) == ["/quorvan/depth/camera_info", "/quorvan/raw/image_raw"]
    raws = by_topic["/quorvan/raw/image_raw"]
    assert len(raws) == FRAMES
    for message, image in raws:
        assert image.encoding == "16SC1"
        assert (image.width, image.height) == (HQVGA_WIDTH, 4 * HQVGA_HEIGHT)
        assert len(image.data) == image.step * image.height == 2 * HQVGA_WIDTH * 4 * HQVGA_HEIGHT
    stamps = [image.header.stamp.sec * 10**9 + image.header.stamp.nanosec for _, image in raws]
    log_times = [message.log_time for message, _ in raws]
    assert stamps == sorted(stamps) and len(set(stamps)) == FRAMES
    assert log_times == sorted(log_times)
    infos = [ros for _, ros in by_topic["/quorvan/depth/camera_info"]]
    assert len(infos) == FRAMES
    assert (infos[0].width, infos[0].height) == (HQVGA_WIDTH, HQVGA_HEIGHT)
    assert infos[0].k[2] == pytest.approx((HQVGA_WIDTH - 1) / 2)
    names = [record.name for record in metadata]
    assert {"quorvan.camera", "quorvan.sdk", "quorvan.controls", "quorvan.summary"} <= set(names)
    camera_meta = next(r.metadata for r in metadata if r.name == "quorvan.camera")
    assert camera_meta["width"] == str(HQVGA_WIDTH)
    change = next(r.metadata for r in metadata if r.name == "quorvan.control_change")
    assert (change["control"], change["value"]) == ("RANGE", "2000")
    assert [a.name for a in attachments] == ["noise_free.cfg"]


def z_metres_of_ray_depth(depth_mm, fx, fy, cx, cy):
    """Z along the optical axis from distances along undistorted pinhole rays, NaN where none."""
    rows, columns = np.indices(depth_mm.shape, dtype=np.float64)
    ray_length = np.sqrt(1.0 + ((columns - cx) / fx) ** 2 + ((rows - cy) / fy) ** 2)
    z = depth_mm.astype(np.float64) / ray_length / 1000.0
    return np.where(depth_mm > 0, z, np.nan)


def record_one_depth_frame(path, config):
    camera = qdc.QuorvanCamera()
    assert camera.openWithFile(config, 0) == qdc.TOFErrorCode.QuorvanSuccess
    camera.start(qdc.TOFOutput.DEPTH)
    frame = camera.requestFrame(FRAME_TIMEOUT_MS)
    live_mm = np.array(frame.getDepthData())
    live_amplitude = np.array(frame.getAmplitudeData())
    # The fixed topics of earlier recordings, for readers that know only those.
    with Recorder(path, camera, namespace=None) as recorder:
        recorder.write(frame)
    camera.releaseFrame(frame)
    camera.stop()
    camera.close()
    return live_mm, live_amplitude


def test_depth_recording_is_z_along_the_optical_axis_in_metres(tmp_path):
    path = tmp_path / "depth.mcap"
    live_mm, live_amplitude = record_one_depth_frame(path, kit_config("noise_free.cfg"))
    decoded, _, _ = decoded_messages(path)
    images = {channel.topic: ros for _, channel, _, ros in decoded}
    depth = messages.decode_image(
        next(m.data for _, c, m, _ in decoded if c.topic == messages.TOPIC_DEPTH))
    info = messages.decode_camera_info(
        next(m.data for _, c, m, _ in decoded if c.topic == messages.TOPIC_CAMERA_INFO))
    assert images[messages.TOPIC_DEPTH].encoding == "32FC1"
    assert depth.pixels.dtype == np.float32
    # Computed here from the recorded CameraInfo, not by the recorder's helper.
    i = info.intrinsics
    expected_m = z_metres_of_ray_depth(live_mm, i.fx, i.fy, i.cx, i.cy)
    assert np.array_equal(np.isnan(depth.pixels), live_mm <= 0)
    np.testing.assert_allclose(depth.pixels, expected_m, rtol=1e-6, atol=1e-6, equal_nan=True)
    assert 0.3 < float(np.nanmedian(depth.pixels)) < 4.0
    amplitude = np.frombuffer(images[messages.TOPIC_AMPLITUDE].data, np.float32)
    np.testing.assert_array_equal(amplitude.reshape(live_amplitude.shape), live_amplitude)


def test_a_flat_wall_at_two_metres_is_recorded_flat(tmp_path):
    config = tmp_path / "wall2m.cfg"
    config.write_text("scene = wall\nscene.distance_mm = 2000\nnoise = off\n")
    path = tmp_path / "wall.mcap"
    live_mm, _ = record_one_depth_frame(path, str(config))
    decoded, _, _ = decoded_messages(path)
    depth = messages.decode_image(
        next(m.data for _, c, m, _ in decoded if c.topic == messages.TOPIC_DEPTH)).pixels
    valid = ~np.isnan(depth)
    assert valid.mean() > 0.99 and np.array_equal(valid, live_mm > 0)
    # Corners included: the camera's ray distance there is far above 2 m.
    assert live_mm[0, 0] > 2400
    assert float(np.abs(depth[valid] - 2.0).max()) <= 0.002


class _SlowDisk(io.BytesIO):
    def write(self, data):
        time.sleep(0.05)
        return super().write(data)


def test_slow_disk_drops_and_counts_instead_of_stalling(tmp_path):
    camera = qdc.QuorvanCamera()
    assert camera.openWithFile(kit_config("unpaced.cfg"), 0) == qdc.TOFErrorCode.QuorvanSuccess
    camera.start(qdc.TOFOutput.RAW)
    frame = camera.requestFrame(FRAME_TIMEOUT_MS)
    recorder = Recorder(tmp_path / "unused", camera, output=_SlowDisk(), queue_frames=2)
    began = time.monotonic()
    accepted = sum(recorder.write(frame) for _ in range(200))
    writing_took = time.monotonic() - began
    camera.releaseFrame(frame)
    recorder.close()
    camera.stop()
    camera.close()
    assert recorder.dropped == 200 - accepted > 0
    assert recorder.written == accepted
    assert writing_took < 5.0


def channels_of(path):
    with open(path, "rb") as stream:
        summary = make_reader(stream).get_summary()
    return {channel.topic: channel for channel in summary.channels.values()}


def test_raw_and_depth_together_under_a_namespace(tmp_path):
    from rosbags.interfaces import QosReliability
    from rosbags.rosbag2.metadata import parse_qos

    path = tmp_path / "both.mcap"
    camera = qdc.QuorvanCamera()
    assert camera.openWithFile(kit_config("noise_free.cfg"), 0) == qdc.TOFErrorCode.QuorvanSuccess
    try:
        # What the camera computes itself from the same (noise-free, still) scene.
        camera.start(qdc.TOFOutput.DEPTH)
        with camera.requestFrame(FRAME_TIMEOUT_MS) as frame:
            live_mm = frame.getDepthData().copy()
        camera.stop()
        before_ns = time.time_ns()
        with Recorder(path, camera, planes=("raw", "depth"), namespace="front") as recorder:
            camera.start(qdc.TOFOutput.RAW)
            record_camera(camera, recorder, frames=5, timeout_ms=FRAME_TIMEOUT_MS)
            camera.stop()
        after_ns = time.time_ns()
    finally:
        camera.close()
    assert (recorder.written, recorder.dropped) == (5, 0)

    channels = channels_of(path)
    assert sorted(channels) == ["/front/depth/camera_info", "/front/depth/image_raw",
                                "/front/raw/image_raw"]
    qos = {}
    for topic, channel in channels.items():
        assert channel.metadata["quorvan.namespace"] == "/front"
        # Read as rosbags reads a bag's offered profiles.
        (profile,) = parse_qos(channel.metadata["offered_qos_profiles"])
        qos[channel.metadata["quorvan.plane"]] = profile.reliability
    assert qos == {"raw": QosReliability.BEST_EFFORT, "depth": QosReliability.BEST_EFFORT,
                   "camera_info": QosReliability.RELIABLE}

    decoded, metadata, _ = decoded_messages(path)
    by_plane = {}
    for _, channel, message, ros in decoded:
        by_plane.setdefault(channel.metadata["quorvan.plane"], []).append((message, ros))
    assert {plane: len(found) for plane, found in by_plane.items()} == \
        {"raw": 5, "depth": 5, "camera_info": 5}
    for message, ros in by_plane["depth"]:
        assert ros.header.frame_id == "front_optical_frame" and ros.encoding == "32FC1"
        stamp_ns = ros.header.stamp.sec * 10**9 + ros.header.stamp.nanosec
        # header.stamp and log time are host real time; the device's clock is the publish time.
        assert before_ns <= stamp_ns <= after_ns and message.log_time == stamp_ns
        assert message.publish_time % 1_000_000 == 0 and message.publish_time < before_ns
    depth = messages.decode_image(by_plane["depth"][0][0].data).pixels
    info = messages.decode_camera_info(by_plane["camera_info"][0][0].data).intrinsics
    # Depth from the recorded raw frame on the host is the live camera's, as ROS reads it.
    expected = z_metres_of_ray_depth(np.asarray(live_mm), info.fx, info.fy, info.cx, info.cy)
    np.testing.assert_allclose(depth, expected, atol=0.002, equal_nan=True)
    assert by_plane["camera_info"][0][1].width == HQVGA_WIDTH
    assert "quorvan.summary" in [record.name for record in metadata]


def test_controls_are_recorded_as_in_force_at_the_first_frame_and_in_order(tmp_path):
    path = tmp_path / "vga.mcap"
    camera = qdc.QuorvanCamera()
    assert camera.openWithFile(kit_config("vga640_double.cfg"), 0) == \
        qdc.TOFErrorCode.QuorvanSuccess
    try:
        with Recorder(path, camera) as recorder:
            # MODE set on the camera after the recorder started moves RANGE to 4500.
            assert camera.setControl(qdc.TOFControl.MODE, 1) == qdc.TOFErrorCode.QuorvanSuccess
            camera.start(qdc.TOFOutput.RAW)
            record_camera(camera, recorder, frames=2, timeout_ms=FRAME_TIMEOUT_MS)
            recorder.set_control(qdc.TOFControl.EXPOSURE, 7)
            record_camera(camera, recorder, frames=1, timeout_ms=FRAME_TIMEOUT_MS)
            camera.stop()
    finally:
        camera.close()
    _, metadata, _ = decoded_messages(path)
    controls = next(r.metadata for r in metadata if r.name == "quorvan.controls")
    assert (controls["MODE"], controls["RANGE"]) == ("1", "4500")
    change = next(r.metadata for r in metadata if r.name == "quorvan.control_change")
    assert (change["control"], change["value"], change["frames_written"]) == \
        ("EXPOSURE", "7", "2")


@pytest.mark.parametrize("options, message", [
    ({"planes": ()}, "planes"),
    ({"planes": ("raw", "points")}, "planes"),
    ({"compression": "brotli"}, "compression"),
    ({"namespace": "2cams"}, "ROS name"),
])
def test_bad_options_are_refused_before_the_file_is_touched(opened_camera, tmp_path, options,
                                                            message):
    target = tmp_path / "kept.mcap"
    target.write_bytes(b"kept")
    with pytest.raises(ValueError, match=message):
        Recorder(target, opened_camera, **options)
    assert target.read_bytes() == b"kept"


def test_the_record_tool_takes_planes_and_a_namespace(tmp_path, capsys):
    from quorvan.tools.record import main

    path = tmp_path / "tool.mcap"
    assert main(["--config", "noise_free", "--planes", "raw,depth", "--namespace", "/cam0",
                 "--frames", "3", "--output", str(path)]) == 0
    assert "3 written, 0 dropped" in capsys.readouterr().out
    assert sorted(channels_of(path)) == ["/cam0/depth/camera_info", "/cam0/depth/image_raw",
                                         "/cam0/raw/image_raw"]
    decoded, _, _ = decoded_messages(path)
    assert sum(channel.topic == "/cam0/raw/image_raw" for _, channel, _, _ in decoded) == 3
    with pytest.raises(SystemExit):
        main(["--planes", "raw,points", "--output", str(tmp_path / "unused.mcap")])
    assert main(["--namespace", "1cam", "--frames", "1", "--config", "noise_free",
                 "--output", str(tmp_path / "refused.mcap")]) == 1
    assert "ROS name" in capsys.readouterr().err
    assert not (tmp_path / "unused.mcap").exists() and not (tmp_path / "refused.mcap").exists()
