"""Several cameras recorded into one file, each under its own namespace: a ROS
reader we did not write (rosbags) sees each camera's topics apart, and replay
plays any one of them with its own camera information and controls, through
the file's index and through a scan of a cut file alike."""

import pathlib
import time

import numpy as np
import pytest
from rosbags.highlevel import AnyReader
from rosbags.typesys import Stores, get_typestore

import QuorvanDepthCamera as qdc

from conftest import DEADLINE_SCALE, FRAME_TIMEOUT_MS
from quorvan.record import Recorder
from quorvan.replay import PlaybackCamera
from quorvan.stream import FrameStream

OK = qdc.TOFErrorCode.QuorvanSuccess
RANGE = qdc.TOFControl.RANGE
KITS = """\
frame_rate = 30
noise = off
kit.0.serial = REC-FRONT
kit.1.serial = REC-BACK
kit.1.scene.wall_distance_mm = 2600
"""
FRAMES = 6


@pytest.fixture
def two_kits(tmp_path, monkeypatch):
    path = tmp_path / "kits.cfg"
    path.write_text(KITS)
    monkeypatch.setenv("QUORVAN_EVK_KITS", str(path))
    cameras = []
    for serial in ("REC-FRONT", "REC-BACK"):
        camera = qdc.QuorvanCamera()
        assert camera.openBySerial(serial) == OK
        cameras.append(camera)
    yield cameras
    for camera in cameras:
        camera.stop()
        camera.close()


def _record_rig(path, front, back):
    with Recorder(path, front, namespace="/rig/front") as recorder:
        back_part = recorder.add_camera(back, "/rig/back")
        assert recorder.set_control(RANGE, 2000) == OK
        assert back_part.set_control(RANGE, 4000) == OK
        for camera in (front, back):
            assert camera.start(qdc.TOFOutput.RAW) == OK
        deadline = time.monotonic() + 20 * DEADLINE_SCALE
        with FrameStream(front, [recorder]), FrameStream(back, [back_part]):
            while back_part.written < FRAMES or recorder.written - back_part.written < FRAMES:
                assert time.monotonic() < deadline, "the rig's frames were not written"
                time.sleep(0.01)
        with pytest.raises(ValueError, match="closed"):
            back_part.consume(None)
    return recorder.written - back_part.written, back_part.written


def _raw_images(path):
    """Each raw topic's images, as rosbags decodes them."""
    store = get_typestore(Stores.ROS2_JAZZY)
    images = {}
    frame_ids = {}
    with AnyReader([pathlib.Path(path)], default_typestore=store) as reader:
        topics = sorted(reader.topics)
        for connection, _, data in reader.messages():
            message = reader.deserialize(data, connection.msgtype)
            frame_ids.setdefault(connection.topic, set()).add(message.header.frame_id)
            if connection.topic.endswith("/raw/image_raw"):
                rows = message.data.view(np.int16).reshape(message.height, message.width)
                images.setdefault(connection.topic, []).append(rows.copy())
    return topics, images, frame_ids


def _replayed(path, namespace):
    with PlaybackCamera(path, realtime=False, namespace=namespace) as camera:
        info = camera.getCameraInfo()
        assert camera.start(qdc.TOFOutput.RAW) == OK
        ranges, planes = [], []
        while (frame := camera.requestFrame(FRAME_TIMEOUT_MS)) is not None:
            ranges.append(camera.getControl(RANGE))
            planes.append(frame.getRawData().copy())
            camera.releaseFrame(frame)
            if len(planes) == FRAMES:
                break
        camera.stop()
    return info, set(ranges), planes


def test_two_cameras_share_one_file_and_replay_apart(two_kits, tmp_path):
    path = tmp_path / "rig.mcap"
    written = _record_rig(path, *two_kits)
    assert min(written) >= FRAMES

    topics, images, frame_ids = _raw_images(path)
    assert topics == [f"/rig/{side}/{topic}" for side in ("back", "front")
                      for topic in ("depth/camera_info", "raw/image_raw")]
    assert frame_ids["/rig/front/raw/image_raw"] == {"front_optical_frame"}
    assert frame_ids["/rig/back/depth/camera_info"] == {"back_optical_frame"}
    front_images, back_images = images["/rig/front/raw/image_raw"], images["/rig/back/raw/image_raw"]
    assert (len(front_images), len(back_images)) == written
    assert not np.array_equal(front_images[0], back_images[0]), "the kits see other scenes"

    # Each camera replays its own frames and controls; without a namespace, the first.
    for namespace, recorded, expected_range in ((None, front_images, 2000),
                                                ("/rig/front", front_images, 2000),
                                                ("/rig/back", back_images, 4000)):
        info, ranges, planes = _replayed(path, namespace)
        assert info.width == 240 and ranges == {expected_range}, namespace
        assert all(np.array_equal(a, b) for a, b in zip(planes, recorded[:FRAMES])), namespace
    with pytest.raises(ValueError, match="no raw frames"):
        _replayed(path, "/rig/side")

    # A file cut short is scanned: each camera still gets its own records.
    cut = tmp_path / "cut.mcap"
    data = path.read_bytes()
    cut.write_bytes(data[: len(data) * 3 // 4])
    with pytest.warns(RuntimeWarning, match="closing records"):
        _, back_ranges, back_planes = _replayed(cut, "/rig/back")
    assert back_ranges == {4000}
    assert np.array_equal(back_planes[0], back_images[0])


def test_adding_a_camera_is_refused_where_it_cannot_be_told_apart(two_kits, tmp_path):
    front, back = two_kits
    with Recorder(tmp_path / "one.mcap", front, namespace="/front") as recorder:
        with pytest.raises(ValueError, match="already recorded"):
            recorder.add_camera(back, "front")
        with pytest.raises(ValueError):
            recorder.add_camera(back, "/not a name")
        with pytest.raises(ValueError):
            recorder.add_camera(back, "/back", planes=("colour",))
        recorder.add_camera(back, "/back")
    with pytest.raises(ValueError, match="closed"):
        recorder.add_camera(back, "/later")
    with Recorder(tmp_path / "legacy.mcap", front, namespace=None) as legacy:
        with pytest.raises(ValueError, match="fixed topics"):
            legacy.add_camera(back, "/back")
