"""Command line of the live bus.

python -m quorvan.live publish [--config KIT_CFG] [--namespace /cam0] [--node-name NAME]
    [--depth-encoding 32FC1|16UC1] [--points] [--listen EP] [--connect EP]
    [--serial S ... | --all-cameras]
python -m quorvan.live subscribe [--namespace /cam0] [--connect EP] [--frames N]

The publisher is a ROS 2 node over rmw_zenoh on domain ROS_DOMAIN_ID (0 when
unset): `ros2 topic list` shows its topics under the namespace.
"""

from __future__ import annotations

import argparse
import signal
import sys
import threading
import time
from typing import TYPE_CHECKING

import QuorvanDepthCamera as qdc

from ..conventions import DEFAULT_NAMESPACE, DEFAULT_NODE_NAME, name_token, normalise_namespace
from ..kit_configs import CONFIG_HELP, ConfigNotFound
from ..ros_depth import DEPTH_ENCODINGS
from .camera_setup import CameraSetupError, open_camera, open_cameras
from .session import ANY_LOCAL_PORT

if TYPE_CHECKING:
    from .publisher import Publisher
    from .subscriber import Subscriber


def _publish(args: argparse.Namespace) -> int:
    from .publisher import Publisher, PublisherNameTaken

    several = args.all_cameras or args.serial is not None
    try:
        namespace = normalise_namespace(args.namespace)
        cameras = (
            open_cameras(args.config, args.serial, raw=args.raw, mode=args.mode)
            if several
            else [open_camera(args.config, raw=args.raw, mode=args.mode)]
        )
    except (CameraSetupError, ConfigNotFound, ValueError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    publishers: list[Publisher] = []
    try:
        for camera in cameras:
            # Under several cameras, each one's namespace names its serial; the
            # first publisher takes the endpoints, the others join it there.
            where = f"{namespace}/{name_token(camera.getSerial())}" if several else namespace
            first = not publishers
            publishers.append(
                Publisher(
                    camera,
                    where,
                    # Peers reach each other directly (the router's gossip tells
                    # them where), so the others listen on a port of their own.
                    listen=args.listen if first else [ANY_LOCAL_PORT],
                    connect=args.connect if first else _joining(publishers[0]),
                    node_name=args.node_name,
                    depth_encoding=args.depth_encoding,
                    points=args.points,
                    # Subscribers reach the other cameras' publishers through it.
                    router=several and first,
                )
            )
    except (PublisherNameTaken, RuntimeError, ValueError) as error:
        print(f"error: {error}", file=sys.stderr)
        _close_all(publishers, cameras)
        return 1
    for publisher in publishers:
        print(
            f"publishing node {publisher.namespace}/{publisher.node_name} on ROS domain "
            f"{publisher.domain_id}, {publisher.endpoints.how}; Ctrl-C stops",
            flush=True,
        )
    try:
        while not stop.wait(5.0):
            _print_counts(publishers, "")
    except KeyboardInterrupt:
        pass
    finally:
        _close_all(publishers, cameras)
        _print_counts(publishers, "stopped: ")
    return 0


def _joining(first: Publisher) -> list[str]:
    """Where a further camera's publisher joins the first: where that one
    listens (a port it chose itself cannot be named) and what it joined."""
    listening = [where for where in first.endpoints.listen if not where.endswith(":0")]
    return listening + first.endpoints.connect


def _print_counts(publishers: list[Publisher], prefix: str) -> None:
    for publisher in publishers:
        which = f"{publisher.namespace}: " if len(publishers) > 1 else ""
        print(
            f"{prefix}{which}read {publisher.frames_read}  sent {publisher.frames_sent}  "
            f"dropped {publisher.frames_dropped}",
            flush=True,
        )


def _close_all(publishers: list[Publisher], cameras: list[qdc.QuorvanCamera]) -> None:
    for publisher in publishers:
        publisher.close()
    for camera in cameras:
        camera.stop()
        camera.close()


def _subscribe(args: argparse.Namespace) -> int:
    from .subscriber import Subscriber

    try:
        subscriber = Subscriber(args.namespace, connect=args.connect)
    except (RuntimeError, ValueError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    with subscriber:
        received = 0
        started = time.monotonic()
        try:
            while args.frames <= 0 or received < args.frames:
                frame = subscriber.receive(2000)
                if frame is None:
                    print(f"no frame for 2 s{_silence_hint(subscriber)}", flush=True)
                    continue
                received += 1
                depth = ""
                if frame.depth is not None:
                    rows, columns = frame.depth.shape
                    depth = f"  centre {frame.depth[rows // 2, columns // 2]:.0f} mm"
                print(
                    f"frame {frame.sequence}  t={frame.timestamp} ms  "
                    f"latency {frame.latency_ms:.2f} ms{depth}",
                    flush=True,
                )
        except KeyboardInterrupt:
            pass
        elapsed = time.monotonic() - started
        print(
            f"{received} frames in {elapsed:.1f} s, dropped here {subscriber.frames_dropped}, "
            f"malformed {subscriber.frames_malformed}"
        )
    return 0


def _silence_hint(subscriber: Subscriber) -> str:
    # Silence has two very different causes; say which one it is.
    if not subscriber.publisher_reachable(0.5):
        return (
            f": no camera node {subscriber.name}/{subscriber.node_name} is reachable through "
            f"{', '.join(subscriber.endpoints)} (wrong name or endpoint, or not started)"
        )
    return ": the publisher is there but sends nothing (is its camera streaming?)"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m quorvan.live",
        description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    commands = parser.add_subparsers(dest="command", required=True)
    publish = commands.add_parser("publish", help="publish a camera's frames")
    publish.add_argument("--config", help=CONFIG_HELP)
    publish.add_argument(
        "--namespace",
        "--name",
        dest="namespace",
        default=DEFAULT_NAMESPACE,
        help=f"ROS namespace of the camera (default: {DEFAULT_NAMESPACE})",
    )
    publish.add_argument(
        "--node-name",
        default=DEFAULT_NODE_NAME,
        help=f"ROS node name (default: {DEFAULT_NODE_NAME})",
    )
    publish.add_argument(
        "--depth-encoding",
        choices=DEPTH_ENCODINGS,
        default=DEPTH_ENCODINGS[0],
        help="32FC1: metres, NaN where invalid (default); 16UC1: millimetres, 0 where invalid",
    )
    publish.add_argument("--points", action="store_true", help="also publish a PointCloud2")
    publish.add_argument("--listen", action="append", help="Zenoh endpoint to listen on")
    publish.add_argument("--connect", action="append", help="Zenoh endpoint to connect to")
    publish.add_argument("--mode", type=int, help="MODE before start (1: 640x480 two frequencies)")
    publish.add_argument("--raw", action="store_true", help="publish raw phase frames, not depth")
    cameras = publish.add_mutually_exclusive_group()
    cameras.add_argument(
        "--serial",
        action="append",
        help="publish the camera with this serial number, under <namespace>/<serial> "
        "(give it once per camera)",
    )
    cameras.add_argument(
        "--all-cameras",
        action="store_true",
        help="publish every attached camera, each under <namespace>/<serial>",
    )
    subscribe = commands.add_parser("subscribe", help="print the frames of a publisher")
    subscribe.add_argument("--namespace", "--name", dest="namespace", default=DEFAULT_NAMESPACE)
    subscribe.add_argument("--connect", action="append", help="Zenoh endpoint to connect to")
    subscribe.add_argument("--frames", type=int, default=0, help="stop after N frames")
    args = parser.parse_args(argv)
    return _publish(args) if args.command == "publish" else _subscribe(args)


def publish_main(argv: list[str] | None = None) -> int:
    """quorvan-publish: the same as ``python -m quorvan.live publish``."""
    return main(["publish", *(sys.argv[1:] if argv is None else argv)])


__all__ = [
    "main",
    "publish_main",
]


if __name__ == "__main__":
    raise SystemExit(main())
