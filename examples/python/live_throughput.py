"""Measures the live bus between two processes over loopback: a publisher process
on a kit configuration and a subscriber here; prints frames per second received,
frames lost (gaps in the sequence numbers) and send-to-arrival latency.

    python examples/python/live_throughput.py --config emulation/evk_sdk/configs/unpaced.cfg
    python examples/python/live_throughput.py --config emulation/evk_sdk/configs/vga640_double.cfg --mode 1
"""

import argparse
import socket
import subprocess
import sys
import time

import numpy as np

from quorvan.live import Subscriber


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--config")
    parser.add_argument("--mode", type=int)
    parser.add_argument("--seconds", type=float, default=5.0)
    args = parser.parse_args()
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        endpoint = f"tcp/127.0.0.1:{probe.getsockname()[1]}"
    command = [sys.executable, "-m", "quorvan.live", "publish", "--name", "bench",
               "--listen", endpoint]
    if args.config:
        command += ["--config", args.config]
    if args.mode is not None:
        command += ["--mode", str(args.mode)]
    publisher = subprocess.Popen(command, stdout=subprocess.DEVNULL)
    try:
        with Subscriber("bench", connect=[endpoint], queue_frames=64) as subscriber:
            first = None
            while first is None:
                first = subscriber.receive(1000)
                if publisher.poll() is not None:
                    sys.exit("the publisher did not start")
            sequences, latencies, shape = [], [], first.depth.shape
            started = time.monotonic()
            while time.monotonic() - started < args.seconds:
                frame = subscriber.receive(500)
                if frame is not None:
                    sequences.append(frame.sequence)
                    latencies.append(frame.latency_ms)
            elapsed = time.monotonic() - started
    finally:
        publisher.terminate()
        publisher.wait(10)
    span = sequences[-1] - sequences[0] + 1
    print(f"{shape[1]}x{shape[0]}: {len(sequences) / elapsed:.0f} frames/s received, "
          f"{span - len(sequences)} of {span} sequence numbers missing, latency p50 "
          f"{np.percentile(latencies, 50):.2f} ms p99 {np.percentile(latencies, 99):.2f} ms")


if __name__ == "__main__":
    main()
