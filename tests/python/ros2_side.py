"""The ROS 2 side of test_ros2_graph.py: an independent ROS 2-over-Zenoh client
(zenoh-ros2-sdk) reading a publisher started by `python -m quorvan.live publish`,
in a process (and, where the test can make one, a network namespace) of its own,
so that the router's port 7447 is this run's alone.

    python ros2_side.py ORDER FRAMES NAMESPACE[,PUBLISH_ARG...] [NAMESPACE...]

ORDER is "router-first" (a Zenoh router on 7447, then the publishers),
"no-router" (the publishers alone) or "ros-first" (the ROS 2 subscribers
wait before any publisher runs). Arguments after a namespace's commas go to
its publisher (",--config,wall.cfg"). Beside the client, a plain Zenoh
subscriber notes what went over the wire on each depth topic, so that the
client's count is checked against what was sent. Prints one JSON line of what
it saw.
"""

import json
import os
import pathlib
import subprocess
import sys
import tempfile
import struct
import threading
import time

import numpy as np
import zenoh

HERE = pathlib.Path(__file__).resolve().parent
REPO_ROOT = HERE.parents[1]

# The definitions the client would otherwise clone from ROS's repositories at
# run time; it computes the type hashes from them itself.
MESSAGE_DEFINITIONS = {
    "builtin_interfaces/msg/Time": "int32 sec\nuint32 nanosec\n",
    "std_msgs/msg/Header": "builtin_interfaces/Time stamp\nstring frame_id\n",
    "sensor_msgs/msg/RegionOfInterest": (
        "uint32 x_offset\nuint32 y_offset\nuint32 height\nuint32 width\nbool do_rectify\n"
    ),
    "sensor_msgs/msg/Image": (
        "std_msgs/Header header\nuint32 height\nuint32 width\nstring encoding\n"
        "uint8 is_bigendian\nuint32 step\nuint8[] data\n"
    ),
    "sensor_msgs/msg/CameraInfo": (
        "std_msgs/Header header\nuint32 height\nuint32 width\nstring distortion_model\n"
        "float64[] d\nfloat64[9] k\nfloat64[9] r\nfloat64[12] p\nuint32 binning_x\n"
        "uint32 binning_y\nsensor_msgs/RegionOfInterest roi\n"
    ),
}


def write_definitions(root):
    for name, text in MESSAGE_DEFINITIONS.items():
        path = pathlib.Path(root, *name.split("/")).with_suffix(".msg")
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


def start(*args):
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    process = subprocess.Popen([sys.executable, *args], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, cwd=REPO_ROOT, env=env)
    return process


def wait_for_line(process, text, timeout_s=60):
    deadline = time.monotonic() + timeout_s
    lines = []
    while time.monotonic() < deadline:
        line = process.stdout.readline()
        if not line:
            break
        lines.append(line)
        if text in line:
            # Keep the pipe drained, so that progress lines never block the child.
            threading.Thread(target=process.stdout.read, daemon=True).start()
            return line.strip()
    raise RuntimeError(f"no line with {text!r}: {''.join(lines)[-2000:]}")


class WireWitness:
    """The header stamps of the samples under one key, straight off the wire."""

    def __init__(self, session, key):
        self.stamps = []
        self.sequences = []
        self.arrival_ns = []
        self.subscriber = session.declare_subscriber(key, self._on_sample)

    def _on_sample(self, sample):
        self.arrival_ns.append(time.time_ns())
        payload = sample.payload.to_bytes()
        seconds, nanoseconds = struct.unpack_from("<iI", payload, 4)  # after the CDR header
        self.stamps.append(seconds * 1_000_000_000 + nanoseconds)
        self.sequences.append(struct.unpack_from("<q", sample.attachment.to_bytes())[0])


def depth_summary(message):
    data = np.asarray(message.data, dtype=np.uint8).tobytes()
    if message.encoding == "32FC1":
        metres = np.frombuffer(data, "<f4").astype(np.float64)
        valid = np.isfinite(metres)
        invalid_values = sorted({str(v) for v in metres[~valid][:5]})
    else:
        millimetres = np.frombuffer(data, "<u2")
        valid = millimetres != 0
        metres = millimetres / 1000.0
        invalid_values = sorted({int(v) for v in millimetres[~valid][:5]})
    return {"valid_min": float(metres[valid].min()) if valid.any() else None,
            "valid_max": float(metres[valid].max()) if valid.any() else None,
            "invalid": int((~valid).sum()), "invalid_values": invalid_values}


class TopicCounter:
    def __init__(self):
        self.lock = threading.Lock()
        self.stamps = []
        self.arrival_ns = []
        self.last = None

    def __call__(self, message):
        with self.lock:
            self.stamps.append(message.header.stamp.sec * 1_000_000_000
                               + message.header.stamp.nanosec)
            self.arrival_ns.append(time.time_ns())
            self.last = message


def main():
    order, frames, specs = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    namespaces = [spec.split(",")[0] for spec in specs]
    children = []
    try:
        if order == "router-first":
            router = start(str(HERE / "zenoh_router.py"))
            children.append(router)
            wait_for_line(router, "ready")

        def start_publishers():
            lines = []
            for spec in specs:
                namespace, *extra = spec.split(",")
                publisher = start("-m", "quorvan.live", "publish", "--namespace", namespace,
                                  *extra)
                children.append(publisher)
                lines.append(wait_for_line(publisher, "publishing node"))
            return lines

        publisher_lines = [] if order == "ros-first" else start_publishers()

        from zenoh_ros2_sdk import ROS2Subscriber
        from zenoh_ros2_sdk.message_registry import get_registry
        from zenoh_ros2_sdk.session import ZenohSession

        definitions = tempfile.mkdtemp(prefix="ros2-msgs-")
        write_definitions(definitions)
        get_registry(definitions)
        witness_config = zenoh.Config()
        witness_config.insert_json5("mode", '"peer"')
        witness_config.insert_json5("scouting/multicast/enabled", "false")
        witness_config.insert_json5("connect/endpoints", '["tcp/127.0.0.1:7447"]')
        witness_session = zenoh.open(witness_config)
        witnesses = {}
        counters, subscribers = {}, []
        for namespace in namespaces:
            for topic, kind in (("depth/image_raw", "sensor_msgs/msg/Image"),
                                ("depth/camera_info", "sensor_msgs/msg/CameraInfo")):
                name = f"{namespace}/{topic}"
                counters[name] = TopicCounter()
                subscribers.append(ROS2Subscriber(name, kind, counters[name]))
                witnesses[name] = WireWitness(witness_session, subscribers[-1].keyexpr)
        if order == "ros-first":
            time.sleep(1.0)
            publisher_lines = start_publishers()

        deadline = time.monotonic() + frames / 30.0 * 2 + 30
        while time.monotonic() < deadline and min(len(c.stamps) for c in counters.values()) < frames:
            time.sleep(0.05)
        tokens = [str(reply.ok.key_expr) for reply in
                  ZenohSession.get_instance().liveliness.get("@ros2_lv/**", timeout=2.0)
                  if reply.ok is not None]
        result = {"publishers": publisher_lines, "tokens": tokens, "topics": {}}
        for subscriber in subscribers:
            counter = counters[subscriber.topic]
            with counter.lock:
                last = counter.last
                entry = {
                    "received": len(counter.stamps),
                    "stamps": counter.stamps[:frames],
                    "arrival_ns": counter.arrival_ns[:frames],
                    "type_hash": subscriber.type_hash,
                    "key": subscriber.keyexpr,
                    "wire_stamps": list(witnesses[subscriber.topic].stamps),
                    "wire_sequences": list(witnesses[subscriber.topic].sequences),
                    "wire_arrival_ns": list(witnesses[subscriber.topic].arrival_ns),
                }
            if last is not None and hasattr(last, "encoding"):
                entry.update(encoding=last.encoding, height=last.height, width=last.width,
                             frame_id=last.header.frame_id, step=last.step,
                             **depth_summary(last))
            if last is not None and hasattr(last, "k"):
                entry.update(k=[float(v) for v in last.k], frame_id=last.header.frame_id)
            result["topics"][subscriber.topic] = entry
        for subscriber in subscribers:
            subscriber.close()
        witness_session.close()
        print(json.dumps(result), flush=True)
    finally:
        for child in reversed(children):
            child.terminate()
        for child in children:
            try:
                child.wait(10)
            except subprocess.TimeoutExpired:
                child.kill()


if __name__ == "__main__":
    main()
