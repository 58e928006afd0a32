"""Command line of the live bus.

python -m quorvan.live publish [--config KIT_CFG] [--name NAME] [--listen EP] [--connect EP]
python -m quorvan.live subscribe [--name NAME] [--connect EP] [--frames N]
"""

from __future__ import annotations

import argparse
import signal
import sys
import threading
import time
from typing import TYPE_CHECKING

from ..kit_configs import CONFIG_HELP, ConfigNotFound
from .camera_setup import CameraSetupError, open_camera

if TYPE_CHECKING:
    from .subscriber import Subscriber


def _publish(args: argparse.Namespace) -> int:
    from .publisher import Publisher, PublisherNameTaken

    try:
        camera = open_camera(args.config, raw=args.raw, mode=args.mode)
    except (CameraSetupError, ConfigNotFound) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    try:
        publisher = Publisher(camera, args.name, listen=args.listen, connect=args.connect)
    except (PublisherNameTaken, RuntimeError, ValueError) as error:
        print(f"error: {error}", file=sys.stderr)
        camera.stop()
        camera.close()
        return 1
    print(
        f"publishing camera {args.name!r} on "
        f"{', '.join(args.listen or args.connect or ['tcp/127.0.0.1:7447'])}; Ctrl-C stops",
        flush=True,
    )
    try:
        while not stop.wait(5.0):
            print(
                f"read {publisher.frames_read}  sent {publisher.frames_sent}  "
                f"dropped {publisher.frames_dropped}",
                flush=True,
            )
    except KeyboardInterrupt:
        pass
    finally:
        publisher.close()
        camera.stop()
        camera.close()
    return 0


def _subscribe(args: argparse.Namespace) -> int:
    from .subscriber import Subscriber

    try:
        subscriber = Subscriber(args.name, connect=args.connect)
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
            f": no publisher named {subscriber.name!r} is reachable through "
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
    publish.add_argument("--name", default="quorvan", help="key prefix (default: quorvan)")
    publish.add_argument("--listen", action="append", help="Zenoh endpoint to listen on")
    publish.add_argument("--connect", action="append", help="Zenoh endpoint to connect to")
    publish.add_argument("--mode", type=int, help="MODE before start (1: 640x480 two frequencies)")
    publish.add_argument("--raw", action="store_true", help="publish raw phase frames, not depth")
    subscribe = commands.add_parser("subscribe", help="print the frames of a publisher")
    subscribe.add_argument("--name", default="quorvan")
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
