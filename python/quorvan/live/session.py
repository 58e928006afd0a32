"""Key expressions and Zenoh sessions of the live bus.

Keys of one camera, all under the name its publisher was given::

    <name>/depth         sensor_msgs/msg/Image 32FC1, metres
    <name>/amplitude     sensor_msgs/msg/Image 32FC1
    <name>/confidence    sensor_msgs/msg/Image 32FC1
    <name>/raw           sensor_msgs/msg/Image 16SC1, sub-frames stacked
    <name>/camera_info   sensor_msgs/msg/CameraInfo
    <name>/publisher     liveliness token of the running publisher

Payloads are the ROS 2 CDR bytes of :mod:`quorvan.messages`, the same as in
recordings. Every sample carries a Zenoh attachment, serialized with
``zenoh.ext.z_serialize`` as the tuple (UInt64 sequence, Int64 wall-clock
nanoseconds when sent, UInt8 number of samples in this frame), which lets a
subscriber put the samples of one frame back together.
"""

from __future__ import annotations

import json
import re
from collections.abc import Iterable, Sequence

import zenoh

DEFAULT_ENDPOINT = "tcp/127.0.0.1:7447"
PLANE_KEYS = ("depth", "amplitude", "confidence", "raw")
CAMERA_INFO_KEY = "camera_info"
PUBLISHER_TOKEN_KEY = "publisher"

# A camera's name prefixes its keys: parts of letters, digits, '-', '_' and
# '.' between single slashes. Zenoh's own wildcards and separators never occur,
# and the length is bounded, far below what breaks a session's key handling.
MAX_NAME_LENGTH = 200
_NAME = re.compile(r"[A-Za-z0-9_.\-]+(/[A-Za-z0-9_.\-]+)*")


def check_name(name: str) -> str:
    """``name`` if it can prefix key expressions; ``ValueError`` otherwise."""
    if not isinstance(name, str):
        raise ValueError(f"camera name {name!r} is not text")
    if len(name) > MAX_NAME_LENGTH:
        raise ValueError(
            f"camera name of {len(name)} characters cannot prefix Zenoh keys: "
            f"at most {MAX_NAME_LENGTH}"
        )
    if not _NAME.fullmatch(name):
        raise ValueError(
            f"camera name {name!r} cannot prefix Zenoh keys: use letters, digits, "
            "'-', '_' and '.' in parts between single '/', without '*', '$', '#' or '?'"
        )
    return name


def key(name: str, leaf: str) -> str:
    return f"{name}/{leaf}"


def open_session(
    listen: Iterable[str] | None = None,
    connect: Iterable[str] | None = None,
    handshake_timeout_ms: int | None = None,
) -> zenoh.Session:
    """A peer session on exactly the given endpoints, without multicast scouting.

    Scouting stays off so that nothing outside the endpoints the user chose
    is reached; peers learn of each other through the endpoints alone.
    ``handshake_timeout_ms`` bounds how long opening waits for an endpoint
    that accepts connections but never answers as a Zenoh peer.
    """
    config = zenoh.Config()
    config.insert_json5("mode", json.dumps("peer"))
    config.insert_json5("scouting/multicast/enabled", "false")
    config.insert_json5("listen/endpoints", json.dumps(list(listen or [])))
    config.insert_json5("connect/endpoints", json.dumps(list(connect or [])))
    # A busy machine can fill a link's queue for a few milliseconds; waiting
    # up to 100 ms before dropping keeps frames whole, and a really stalled
    # peer still costs the sender no more than that per sample.
    config.insert_json5(
        "transport/link/tx/queue/congestion_control/drop/wait_before_drop", "100000"
    )
    if handshake_timeout_ms is not None:
        config.insert_json5("transport/unicast/open_timeout", str(int(handshake_timeout_ms)))
    return zenoh.open(config)


def endpoints(values: Sequence[str] | None, default: Sequence[str]) -> list[str]:
    return list(values) if values else list(default)


__all__ = [
    "CAMERA_INFO_KEY",
    "DEFAULT_ENDPOINT",
    "MAX_NAME_LENGTH",
    "PLANE_KEYS",
    "PUBLISHER_TOKEN_KEY",
    "check_name",
    "endpoints",
    "key",
    "open_session",
]
