"""The bus when a peer is hostile: anything on the network can put samples under
a camera's keys, or hold its port."""

import contextlib
import os
import signal
import socket
import subprocess
import sys
import time

import numpy as np
import pytest

import QuorvanDepthCamera as qdc
from conftest import REPO_ROOT

zenoh = pytest.importorskip("zenoh")

from quorvan import messages, ros_depth  # noqa: E402
from quorvan.conventions import CameraTopics  # noqa: E402
from quorvan.live import Publisher, Subscriber, rmw_zenoh  # noqa: E402
from quorvan.live.session import FRAME_RECORD, frame_key, open_session  # noqa: E402

DEADLINE_S = 30.0


def free_endpoint():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return f"tcp/127.0.0.1:{probe.getsockname()[1]}"


class Attacker:
    """A bare Zenoh peer the subscriber connects to, putting whatever it likes
    under the keys of the camera node in namespace ``name``."""

    def __init__(self, name):
        self.topics = CameraTopics.for_namespace(name)
        self.endpoint = free_endpoint()
        self.session = open_session([self.endpoint], [])
        self.publishers = {}

    def key(self, plane):
        if plane == "frame":
            return frame_key(0, self.topics.namespace)
        kind = rmw_zenoh.CAMERA_INFO if plane == "camera_info" else rmw_zenoh.IMAGE
        return rmw_zenoh.topic_key(0, self.topics.for_plane(plane), kind)

    def put(self, plane, payload, sequence, attachment=None):
        publisher = self.publishers.get(plane)
        if publisher is None:
            # Blocking, so that nothing the test counts on is dropped on the way.
            publisher = self.publishers[plane] = self.session.declare_publisher(
                self.key(plane), congestion_control=zenoh.CongestionControl.BLOCK)
        if attachment is None:
            attachment = rmw_zenoh.Attachment(sequence, time.time_ns(), bytes(16)).to_bytes()
        publisher.put(payload, attachment=attachment)

    def put_record(self, sequence, parts, index=None):
        index = sequence if index is None else index
        self.put("frame", FRAME_RECORD.pack(sequence, 1234, time.time_ns(), parts, index),
                 sequence)

    def put_valid_frame(self, sequence, index=None):
        self.put_record(sequence, 2, index)
        self.put("depth", messages.encode_image(np.full((4, 6), 1.5, np.float32), 1234), sequence)
        self.put("camera_info", messages.encode_camera_info(
            messages.nominal_intrinsics(6, 4), 1234), sequence)

    def close(self):
        self.session.close()


@contextlib.contextmanager
def attacked_subscriber(name):
    attacker = Attacker(name)
    try:
        with Subscriber(name, connect=[attacker.endpoint]) as subscriber:
            yield attacker, subscriber
    finally:
        attacker.close()


def wait_until(condition, what):
    deadline = time.monotonic() + DEADLINE_S
    while not condition():
        assert time.monotonic() < deadline, f"gave up waiting for {what}"
        time.sleep(0.02)


def receive_valid_frame(attacker, subscriber, first_sequence):
    """Puts valid frames until one arrives (the subscription takes a moment to reach
    the attacker); the subscriber must hand it over despite what came before."""
    deadline = time.monotonic() + DEADLINE_S
    sequence = first_sequence
    while time.monotonic() < deadline:
        attacker.put_valid_frame(sequence)
        frame = subscriber.receive(200)
        if frame is not None:
            return frame
        sequence += 1
    raise AssertionError("no valid frame got through")


GARBAGE = {
    "garbage": bytes(range(256)) * 40,
    "empty": b"",
    "truncated header": messages.encode_image(np.zeros((4, 6), np.float32), 1)[:10],
    "truncated data": messages.encode_image(np.zeros((4, 6), np.float32), 1)[:-7],
    "undecodable frame id": messages.encode_image(np.zeros((1, 1), np.float32), 1).replace(
        messages.FRAME_ID.encode(), b"\xff" * len(messages.FRAME_ID)),
}


def test_malformed_samples_are_dropped_counted_and_receiving_goes_on():
    depth = messages.encode_image(np.zeros((4, 6), np.float32), 1)
    with attacked_subscriber("victim") as (attacker, subscriber):
        receive_valid_frame(attacker, subscriber, 1)
        sequence = 100
        for payload in GARBAGE.values():
            attacker.put_record(sequence, 1)
            attacker.put("depth", payload, sequence)
            sequence += 1
        # A valid image beside camera info that is not camera info.
        attacker.put_record(sequence, 2)
        attacker.put("depth", depth, sequence)
        attacker.put("camera_info", b"\x00\x01\x00\x00" + b"\xff" * 40, sequence)
        # Frames that announce no parts or more parts than a frame has, and a
        # record of the wrong size.
        attacker.put_record(200, 0)
        attacker.put_record(201, 255)
        attacker.put("frame", b"\x01" * 7, 202)
        # Attachments rmw_zenoh would not take either: none, and the 17 bytes
        # of a sequence, a time and a count.
        attacker.put("depth", depth, 203, attachment=b"\x00" * 17)
        attacker.put("depth", depth, 204, attachment=b"\x00" * 33)  # a GID length of 0
        frame = receive_valid_frame(attacker, subscriber, 1000)
        # The camera's distance along each ray, from Z = 1.5 m on the wire.
        expected = ros_depth.radial_depth_from_ros(
            np.full((4, 6), 1.5, np.float32), messages.nominal_intrinsics(6, 4))
        assert frame.depth.shape == (4, 6)
        np.testing.assert_allclose(frame.depth, expected, rtol=1e-6)
        assert frame.depth.min() >= 1500.0 and frame.timestamp == 1234
        wait_until(lambda: subscriber.frames_malformed >= len(GARBAGE) + 6,
                   "every malformed frame to be counted")


def test_incomplete_frames_are_bounded_in_count_and_bytes():
    part = b"\0" * 256 * 1024
    with attacked_subscriber("victim") as (attacker, subscriber):
        receive_valid_frame(attacker, subscriber, 1)
        # 600 frames that each announce five parts (the most a frame has) and send one.
        for sequence in range(1000, 1600):
            attacker.put_record(sequence, 5)
            attacker.put("raw", part, sequence)
        # The subscriber's own queue may drop some of a burst; the last one counts.
        wait_until(lambda: 1599 in dict(subscriber._pending), "the last part to arrive")
        assert len(subscriber._pending) <= 8
        assert sum(len(payload) for pending in subscriber._pending.values()
                   for payload in pending.payloads.values()) <= 64 * 1024 * 1024
        # The bound costs no complete frame.
        receive_valid_frame(attacker, subscriber, 5000)


def test_frames_lost_whole_on_the_way_are_counted_from_the_publishers_numbering():
    with attacked_subscriber("victim") as (attacker, subscriber):
        first = receive_valid_frame(attacker, subscriber, 1)
        counted = subscriber.frames_incomplete
        sent = first.sequence  # the attacker numbers records by sequence
        # Three frames went nowhere, a fourth lost its record but not its image.
        attacker.put("depth", messages.encode_image(np.zeros((4, 6), np.float32), 1), sent + 4)
        attacker.put_valid_frame(sent + 5)
        frame = subscriber.receive(int(DEADLINE_S * 1000))
        assert frame is not None and frame.sequence == sent + 5
        assert subscriber.frames_incomplete - counted == 4
        # A publisher started again numbers from 1: no loss.
        attacker.put_valid_frame(sent + 6, index=1)
        assert subscriber.receive(int(DEADLINE_S * 1000)) is not None
        assert subscriber.frames_incomplete - counted == 4


def test_closing_a_subscriber_twice_is_harmless():
    with Subscriber("twice", connect=[free_endpoint()]) as subscriber:
        subscriber.close()
    subscriber.close()


def _run_child(code, timeout=60):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout, cwd=REPO_ROOT)


def test_names_are_refused_with_a_clear_error_before_reaching_zenoh():
    for name in ("x" * 70_000, "a/**", "a//b", "", "a b", "a\nb", "2cam", "a__b", "kit-2"):
        with pytest.raises(ValueError, match="namespace"):
            Subscriber(name, connect=[free_endpoint()])
        with pytest.raises(ValueError, match="namespace"):
            Publisher(None, name, listen=[free_endpoint()])
    with Subscriber("/front/depth_cam_left", connect=[free_endpoint()]):
        pass


def test_a_port_held_by_a_silent_listener_is_reported_promptly(depth_camera):
    with socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen()
        began = time.monotonic()
        with pytest.raises(RuntimeError, match="not Zenoh"):
            Publisher(depth_camera, "kit", listen=[f"tcp/127.0.0.1:{silent.getsockname()[1]}"])
        assert time.monotonic() - began < 5


@contextlib.contextmanager
def command(*args):
    process = subprocess.Popen([sys.executable, "-m", *args], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, cwd=REPO_ROOT,
                               start_new_session=True)
    try:
        yield process
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGKILL)
        process.communicate()


def test_subscribe_command_explains_a_bad_name_and_a_silent_bus():
    with command("quorvan.live", "subscribe", "--name", "a/**") as bad_name:
        _, errors = bad_name.communicate(timeout=60)
    assert bad_name.returncode == 1
    assert "Traceback" not in errors and errors.strip().count("\n") == 0
    assert "namespace" in errors

    with command("quorvan.live", "subscribe", "--name", "nobody", "--connect",
                 free_endpoint()) as silent:
        first_line = silent.stdout.readline()
    assert "no frame for 2 s" in first_line
    assert "no camera node /nobody/quorvan_camera" in first_line


def test_a_sample_larger_than_the_bound_is_dropped_unparsed():
    with attacked_subscriber("victim") as (attacker, subscriber):
        receive_valid_frame(attacker, subscriber, 1)
        attacker.put("depth", b"\xa5" * (70 * 1024 * 1024), 100)
        wait_until(lambda: subscriber.frames_malformed >= 1, "the large sample to be dropped")
        assert not subscriber._pending
        receive_valid_frame(attacker, subscriber, 200)


def test_the_default_port_is_joined_taken_or_reported_by_what_holds_it():
    from quorvan.live.session import PortHeldByOther, default_publisher_endpoints

    with socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen()
        port = silent.getsockname()[1]
        began = time.monotonic()
        with pytest.raises(PortHeldByOther) as refused:
            default_publisher_endpoints(port=port)
        assert time.monotonic() - began < 5
        # One line: which port, and the option that moves the bus.
        assert f"port {port}" in str(refused.value) and "--listen" in str(refused.value)
        assert "\n" not in str(refused.value)
    free = default_publisher_endpoints(port=port)  # now nobody holds it
    assert free.router and free.listen == [f"tcp/127.0.0.1:{port}"] and not free.connect
    router = open_session([f"tcp/127.0.0.1:{port}"], [], router=True)
    try:
        joined = default_publisher_endpoints(port=port)
    finally:
        router.close()
    assert not joined.router and joined.connect == [f"tcp/127.0.0.1:{port}"]
