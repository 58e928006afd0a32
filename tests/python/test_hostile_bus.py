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
zext = pytest.importorskip("zenoh.ext")

from quorvan import messages  # noqa: E402
from quorvan.live import Publisher, Subscriber  # noqa: E402
from quorvan.live.session import open_session  # noqa: E402

DEADLINE_S = 30.0


def free_endpoint():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return f"tcp/127.0.0.1:{probe.getsockname()[1]}"


def attachment(sequence, parts):
    return zext.z_serialize((zext.UInt64(sequence), zext.Int64(time.time_ns()), zext.UInt8(parts)))


class Attacker:
    """A bare Zenoh peer the subscriber connects to, putting whatever it likes."""

    def __init__(self, name):
        self.name = name
        self.endpoint = free_endpoint()
        self.session = open_session([self.endpoint], [])
        self.publishers = {}

    def put(self, leaf, payload, sequence, parts):
        publisher = self.publishers.get(leaf)
        if publisher is None:
            # Blocking, so that nothing the test counts on is dropped on the way.
            publisher = self.publishers[leaf] = self.session.declare_publisher(
                f"{self.name}/{leaf}", congestion_control=zenoh.CongestionControl.BLOCK)
        publisher.put(payload, attachment=attachment(sequence, parts))

    def put_valid_frame(self, sequence):
        depth = np.full((4, 6), 1.5, np.float32)
        self.put("depth", messages.encode_image(depth, 1234), sequence, 2)
        self.put("camera_info", messages.encode_camera_info(
            messages.nominal_intrinsics(6, 4), 1234), sequence, 2)

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
    with attacked_subscriber("victim") as (attacker, subscriber):
        receive_valid_frame(attacker, subscriber, 1)
        sequence = 100
        for payload in GARBAGE.values():
            attacker.put("depth", payload, sequence, 1)
            sequence += 1
        # A valid image beside camera info that is not camera info.
        attacker.put("depth", messages.encode_image(np.zeros((4, 6), np.float32), 1), sequence, 2)
        attacker.put("camera_info", b"\x00\x01\x00\x00" + b"\xff" * 40, sequence, 2)
        # Frames that announce no parts or more parts than a frame has.
        attacker.put("depth", messages.encode_image(np.zeros((4, 6), np.float32), 1), 200, 0)
        attacker.put("depth", messages.encode_image(np.zeros((4, 6), np.float32), 1), 201, 255)
        frame = receive_valid_frame(attacker, subscriber, 1000)
        assert frame.depth.shape == (4, 6) and np.all(frame.depth == 1500.0)
        wait_until(lambda: subscriber.frames_malformed >= len(GARBAGE) + 3,
                   "every malformed frame to be counted")


def test_incomplete_frames_are_bounded_in_count_and_bytes():
    part = b"\0" * 256 * 1024
    with attacked_subscriber("victim") as (attacker, subscriber):
        receive_valid_frame(attacker, subscriber, 1)
        # 600 frames that each announce five parts (the most a frame has) and send one.
        for sequence in range(1000, 1600):
            attacker.put("raw", part, sequence, 5)
        # The subscriber's own queue may drop some of a burst; the last one counts.
        wait_until(lambda: 1599 in dict(subscriber._pending), "the last part to arrive")
        assert len(subscriber._pending) <= 8
        assert sum(len(payload) for pending in subscriber._pending.values()
                   for payload in pending.payloads.values()) <= 64 * 1024 * 1024
        # The bound costs no complete frame.
        receive_valid_frame(attacker, subscriber, 5000)


def test_closing_a_subscriber_twice_is_harmless():
    with Subscriber("twice", connect=[free_endpoint()]) as subscriber:
        subscriber.close()
    subscriber.close()


def _run_child(code, timeout=60):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout, cwd=REPO_ROOT)


def test_names_are_refused_with_a_clear_error_before_reaching_zenoh():
    for name in ("x" * 70_000, "a/**", "a//b", "", "/a", "a b", "a\nb"):
        with pytest.raises(ValueError, match="camera name"):
            Subscriber(name, connect=[free_endpoint()])
        with pytest.raises(ValueError, match="camera name"):
            Publisher(None, name, listen=[free_endpoint()])
    with Subscriber("kit-2/depth_cam.left", connect=[free_endpoint()]):
        pass


def test_a_port_held_by_a_silent_listener_is_reported_promptly(depth_camera):
    with socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen()
        began = time.monotonic()
        with pytest.raises(RuntimeError, match="cannot listen"):
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
    assert "camera name" in errors

    with command("quorvan.live", "subscribe", "--name", "nobody", "--connect",
                 free_endpoint()) as silent:
        first_line = silent.stdout.readline()
    assert "no frame for 2 s" in first_line and "no publisher named 'nobody'" in first_line


def test_a_sample_larger_than_the_bound_is_dropped_unparsed():
    with attacked_subscriber("victim") as (attacker, subscriber):
        receive_valid_frame(attacker, subscriber, 1)
        attacker.put("depth", b"\xa5" * (70 * 1024 * 1024), 100, 1)
        wait_until(lambda: subscriber.frames_malformed >= 1, "the large sample to be dropped")
        assert not subscriber._pending
        receive_valid_frame(attacker, subscriber, 200)
