"""A Zenoh router for the tests, standing in for ROS 2's rmw_zenohd: the
eclipse-zenoh package opened in router mode on the router's usual endpoint.

    python zenoh_router.py [ENDPOINT]     # default tcp/127.0.0.1:7447

Prints "ready" once it listens and runs until it is terminated.
"""

import json
import signal
import sys
import threading

import zenoh

endpoint = sys.argv[1] if len(sys.argv) > 1 else "tcp/127.0.0.1:7447"
config = zenoh.Config()
config.insert_json5("mode", json.dumps("router"))
config.insert_json5("listen/endpoints", json.dumps([endpoint]))
config.insert_json5("scouting/multicast/enabled", "false")
stop = threading.Event()
signal.signal(signal.SIGTERM, lambda *_: stop.set())
with zenoh.open(config):
    print("ready", flush=True)
    stop.wait()
