"""The bus seen from ROS 2: an independent rmw_zenoh client (zenoh-ros2-sdk)
subscribes to `python -m quorvan.live publish` the way a ROS 2 node does.

Each run happens in ros2_side.py, in a network namespace of its own where the
test can make one, so that the router's port 7447 is the run's alone: a
router first and the publisher joining it; the publisher alone, before a flat
wall at 2 m; the ROS side waiting before any publisher starts; and two cameras
side by side (/cam0 in metres, /cam1 in millimetres, both before the wall).
Two runs go at a time: each emulated camera renders its frames on the CPU, and
more of them at once would starve a two-core machine into dropping frames.
"""

import json
import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest
from conftest import DEADLINE_SCALE, REPO_ROOT

pytest.importorskip("QuorvanDepthCamera")
pytest.importorskip("zenoh")
pytest.importorskip("zenoh_ros2_sdk")
from rosbags.typesys import Stores, get_typestore  # noqa: E402

SIDE = pathlib.Path(__file__).with_name("ros2_side.py")
FRAMES = 300
TWO_CAMERA_FRAMES = 60


def isolated_command(args):
    """``args`` in a fresh network namespace (loopback only) where one can be made."""
    unshare, ip = shutil.which("unshare"), shutil.which("ip")
    if unshare and ip:
        probe = subprocess.run([unshare, "-n", ip, "link", "set", "lo", "up"],
                               capture_output=True)
        if probe.returncode == 0:
            script = f'{ip} link set lo up && exec "$@"'
            return [unshare, "-n", "sh", "-c", script, "sh", *args]
    return None


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    wall = tmp_path_factory.mktemp("ros2") / "wall.cfg"
    wall.write_text("scene = wall\nscene.distance_mm = 2000\nnoise = off\n")
    scenarios = {
        "router-first": (FRAMES, ["/cam0"]),
        "ros-first": (FRAMES, ["/cam0"]),
        "no-router": (FRAMES, [f"/cam0,--config,{wall}"]),
        "two-cameras": (TWO_CAMERA_FRAMES, [f"/cam0,--config,{wall}",
                                            f"/cam1,--config,{wall},--depth-encoding,16UC1"]),
    }
    commands = {name: isolated_command([sys.executable, str(SIDE),
                                        "ros-first" if name == "two-cameras" else name,
                                        str(frames), *specs])
                for name, (frames, specs) in scenarios.items()}
    if any(command is None for command in commands.values()):
        # Without namespaces the runs share the machine's port 7447: one at a time.
        pytest.fail("these runs need `unshare -n` and `ip` (util-linux, iproute2) as root")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [*os.environ.get("PYTHONPATH", "").split(os.pathsep), str(REPO_ROOT / "python")]))
    env.pop("ROS_DOMAIN_ID", None)
    results = {}
    names = list(commands)
    for pair in (names[:2], names[2:]):
        children = {name: subprocess.Popen(commands[name], stdout=subprocess.PIPE,
                                           stderr=subprocess.PIPE, text=True, env=env)
                    for name in pair}
        for name, child in children.items():
            out, err = child.communicate(timeout=120 * DEADLINE_SCALE)
            assert child.returncode == 0, f"{name}: {err[-3000:]}"
            results[name] = json.loads(out.strip().splitlines()[-1])
    return results


def window(entry, frames):
    """The client's first ``frames`` samples and the samples the wire carried meanwhile."""
    stamps = entry["stamps"]
    assert len(stamps) == frames, f"the client received {entry['received']} of {frames}"
    # The witness may have joined the wire a moment after the client.
    first, last = max(stamps[0], entry["wire_stamps"][0]), stamps[-1]
    sent = [stamp for stamp in entry["wire_stamps"] if first <= stamp <= last]
    return [stamp for stamp in stamps if stamp >= first], sent


@pytest.mark.parametrize("order", ["router-first", "no-router", "ros-first", "two-cameras"])
def test_a_ros2_client_receives_every_frame_sent(runs, order):
    run = runs[order]
    frames = TWO_CAMERA_FRAMES if order == "two-cameras" else FRAMES
    for topic, entry in run["topics"].items():
        stamps, sent = window(entry, frames)
        # Every frame on the wire in the window reached the client, in order.
        assert stamps == sent, f"{topic}: {len(set(sent) - set(stamps))} frames lost"
        assert all(b > a for a, b in zip(stamps, stamps[1:]))
        # The rate is reported, not asserted: a loaded machine slows the camera.
        print(f"{order} {topic}: {len(stamps)} of {len(sent)} at "
              f"{(frames - 1) / ((stamps[-1] - stamps[0]) / 1e9):.1f} fps")


@pytest.mark.parametrize("order", ["router-first", "no-router", "ros-first", "two-cameras"])
def test_stamps_are_host_real_time_at_capture(runs, order):
    for topic, entry in runs[order]["topics"].items():
        # When each sample came off the wire (the client's own arrival adds its
        # deserialising queue): never before its stamp, and on median within
        # 50 ms of it; capture came before arrival, so the stamp is as close to it.
        delays_ms = (np.array(entry["wire_arrival_ns"]) - np.array(entry["wire_stamps"])) / 1e6
        assert delays_ms.min() > -1.0, topic
        assert np.median(delays_ms) < 50.0 * DEADLINE_SCALE, topic


def test_the_graph_lists_our_node_and_topics_with_their_types_and_hashes(runs):
    store = get_typestore(Stores.ROS2_JAZZY)
    image_hash = store.hash_rihs01("sensor_msgs/msg/Image")
    info_hash = store.hash_rihs01("sensor_msgs/msg/CameraInfo")
    compressed_hash = store.hash_rihs01("sensor_msgs/msg/CompressedImage")
    for order in ("router-first", "two-cameras"):
        run = runs[order]
        tokens = [token.split("/") for token in run["tokens"]]
        ours = [t for t in tokens if t[7] in ("%cam0", "%cam1") and t[8] == "quorvan_camera"]
        nodes = {(t[7], t[8]) for t in ours if t[5] == "NN"}
        namespaces = {"%cam0"} if order == "router-first" else {"%cam0", "%cam1"}
        assert nodes == {(ns, "quorvan_camera") for ns in namespaces}, run["tokens"]
        publishers = {(t[7], t[9]): (t[10], t[11], t[12]) for t in ours if t[5] == "MP"}
        for ns in namespaces:
            cam = ns.lstrip("%")
            assert publishers[(ns, f"%{cam}%depth%image_raw")] == (
                "sensor_msgs::msg::dds_::Image_", image_hash, "2::,5:,:,:,,")
            assert publishers[(ns, f"%{cam}%depth%camera_info")] == (
                "sensor_msgs::msg::dds_::CameraInfo_", info_hash, "::,10:,:,:,,")
            assert publishers[(ns, f"%{cam}%depth%image_raw%compressedDepth")][:2] == (
                "sensor_msgs::msg::dds_::CompressedImage_", compressed_hash)
            for plane in ("amplitude", "confidence"):
                assert publishers[(ns, f"%{cam}%{plane}%image_raw")][:2] == (
                    "sensor_msgs::msg::dds_::Image_", image_hash)
        # The hashes the client computed itself from the message definitions agree.
        for topic, entry in run["topics"].items():
            expected = image_hash if topic.endswith("image_raw") else info_hash
            assert entry["type_hash"] == expected and entry["key"].endswith(expected)


def test_two_cameras_before_a_flat_wall_read_two_metres_in_every_pixel(runs):
    assert runs["no-router"]["topics"]["/cam0/depth/image_raw"]["valid_max"] <= 2.002
    topics = runs["two-cameras"]["topics"]
    metres, millimetres = topics["/cam0/depth/image_raw"], topics["/cam1/depth/image_raw"]
    assert metres["encoding"] == "32FC1" and millimetres["encoding"] == "16UC1"
    for entry in (metres, millimetres):
        # Z along the optical axis: the corners read 2 m as the centre does
        # (their distance along the ray is 2.65 m).
        assert entry["invalid"] == 0
        assert 1.998 <= entry["valid_min"] and entry["valid_max"] <= 2.002
        assert (entry["height"], entry["width"]) == (180, 240)
    assert metres["frame_id"] == "cam0_optical_frame"
    assert millimetres["frame_id"] == "cam1_optical_frame"
    info = topics["/cam0/depth/camera_info"]
    assert info["frame_id"] == "cam0_optical_frame" and info["k"][8] == 1.0
