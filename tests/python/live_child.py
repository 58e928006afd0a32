"""Run by test_live.py in a process of its own: subscribes and prints what it received as JSON.

    python live_child.py NAME ENDPOINT FRAMES [PAUSE_AFTER PAUSE_SECONDS]
"""

import json
import sys
import time

from quorvan.live import Subscriber

name, endpoint, frames = sys.argv[1], sys.argv[2], int(sys.argv[3])
pause_after = int(sys.argv[4]) if len(sys.argv) > 4 else -1
pause_seconds = float(sys.argv[5]) if len(sys.argv) > 5 else 0.0
sequences, latencies = [], []
with Subscriber(name, connect=[endpoint], queue_frames=16) as subscriber:
    print("ready", flush=True)
    deadline = time.monotonic() + 60
    while len(sequences) < frames and time.monotonic() < deadline:
        frame = subscriber.receive(500)
        if frame is None:
            continue
        sequences.append(frame.sequence)
        latencies.append(frame.latency_ms)
        if len(sequences) == pause_after:
            time.sleep(pause_seconds)
    print(json.dumps({"sequences": sequences, "latencies": latencies,
                      "dropped": subscriber.frames_dropped,
                      "incomplete": subscriber.frames_incomplete}), flush=True)
