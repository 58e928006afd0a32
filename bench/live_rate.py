"""The live bus's rate and losses between processes over loopback.

A publisher process (`python -m quorvan.live publish`) on a kit
configuration, and subscriber processes of this script; each subscriber
prints the frames per second it received and the sequence numbers missing
between its first and last frame; the publisher's own count of frames it had
no time to send (its newest-frame queue giving way) says how many of those
never went on the wire. Two runs by default:

- the 640x480 kit at its configured rate to two subscribers;
- the 240x180 kit unpaced (as fast as the machine renders) to one subscriber.

    python bench/live_rate.py [--seconds 8]
    python bench/live_rate.py --config CFG [--mode 1] --subscribers N [--seconds S]
"""

import argparse
import json
import pathlib
import socket
import subprocess
import sys
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
CONFIGS = REPO / "emulation" / "evk_sdk" / "configs"
NAMESPACE = "/bench"


def free_endpoint():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return f"tcp/127.0.0.1:{probe.getsockname()[1]}"


def subscribe(endpoint, seconds):
    """Runs in a subscriber process: one JSON line of what arrived."""
    from quorvan.live import Subscriber

    with Subscriber(NAMESPACE, connect=[endpoint], queue_frames=64) as subscriber:
        print("ready", flush=True)
        first = None
        deadline = time.monotonic() + 30
        while first is None and time.monotonic() < deadline:
            first = subscriber.receive(500)
        sequences, started = [first.sequence], time.monotonic()
        while time.monotonic() - started < seconds:
            frame = subscriber.receive(500)
            if frame is not None:
                sequences.append(frame.sequence)
        elapsed = time.monotonic() - started
        print(json.dumps({"fps": (len(sequences) - 1) / elapsed,
                          "missing": sequences[-1] - sequences[0] + 1 - len(sequences),
                          "span": sequences[-1] - sequences[0] + 1,
                          "shape": list(first.depth.shape),
                          "dropped_here": subscriber.frames_dropped,
                          "incomplete": subscriber.frames_incomplete}), flush=True)


def run(config, subscribers, seconds, mode=None):
    endpoint = free_endpoint()
    command = [sys.executable, "-m", "quorvan.live", "publish", "--namespace", NAMESPACE,
               "--listen", endpoint, "--config", str(config)]
    if mode is not None:
        command += ["--mode", str(mode)]
    publisher = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    children = []
    try:
        if "publishing" not in publisher.stdout.readline():
            sys.exit("the publisher did not start")
        for _ in range(subscribers):
            child = subprocess.Popen([sys.executable, __file__, "--subscribe", endpoint,
                                      "--seconds", str(seconds)], stdout=subprocess.PIPE,
                                     text=True)
            assert child.stdout.readline().strip() == "ready"
            children.append(child)
        results = [json.loads(child.communicate(timeout=seconds + 60)[0].splitlines()[-1])
                   for child in children]
    finally:
        for child in children:
            child.kill()
        publisher.terminate()
        tail = publisher.communicate(timeout=20)[0].strip().splitlines()
    print(f"live {config.name} publisher {tail[-1] if tail else '(no summary)'}", flush=True)
    for index, result in enumerate(results, 1):
        height, width = result["shape"]
        print(f"live {config.name} {width}x{height}, subscriber {index} of {subscribers}: "
              f"{result['fps']:.1f} frames/s, {result['missing']} of {result['span']} sequence "
              f"numbers missing (dropped by the reader {result['dropped_here']}, "
              f"incomplete {result['incomplete']})", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--config", type=pathlib.Path)
    parser.add_argument("--mode", type=int)
    parser.add_argument("--subscribers", type=int, default=1)
    parser.add_argument("--seconds", type=float, default=8.0)
    parser.add_argument("--subscribe", metavar="ENDPOINT", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.subscribe:
        subscribe(args.subscribe, args.seconds)
    elif args.config:
        run(args.config, args.subscribers, args.seconds, args.mode)
    else:
        run(CONFIGS / "vga640_single.cfg", 2, args.seconds)
        run(CONFIGS / "unpaced.cfg", 1, args.seconds)


if __name__ == "__main__":
    main()
