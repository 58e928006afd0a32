"""Zenoh sessions of the live bus, the keys it uses and where it meets ROS 2.

A camera is published as a ROS 2 node over rmw_zenoh (:mod:`.rmw_zenoh`):
under its namespace (``/front``) the topics of :class:`quorvan.conventions.CameraTopics`,
each under ``<domain>/<topic>/<type>/<type hash>``. Besides them, for this
package's own :class:`~quorvan.live.Subscriber`, every frame starts with one
sample under :func:`frame_key` (``<domain>/<namespace>/quorvan/frame``), which
no ROS node subscribes to, holding :data:`FRAME_RECORD`: the frame's number,
the camera's own timestamp in milliseconds, the host time of capture in
nanoseconds, how many of the frame's samples follow for that subscriber (the
images and the camera info) and the publisher's count of frames sent, whose
gaps tell a subscriber of frames lost whole on the way.

Where the bus meets: ROS 2's Zenoh router (``rmw_zenohd``) listens on
``tcp/127.0.0.1:7447`` (:data:`DEFAULT_ENDPOINT`) and every rmw_zenoh node
connects there. :func:`default_publisher_endpoints` connects to a router
found there and otherwise opens its session as a router on that port itself,
so subscribers, other cameras and ROS 2 nodes in their default configuration
find it and each other either way. A router started after it finds the port
taken: start ``rmw_zenohd`` first, or not at all.
"""

from __future__ import annotations

import errno
import json
import socket
import struct
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

import zenoh

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 7447
DEFAULT_ENDPOINT = f"tcp/{DEFAULT_HOST}:{DEFAULT_PORT}"
# Where a publisher that joined a router listens for direct peer links.
ANY_LOCAL_PORT = f"tcp/{DEFAULT_HOST}:0"

# sequence, device timestamp (ms), capture time (host ns), samples that follow,
# the publisher's count of frames sent (this one included)
FRAME_RECORD = struct.Struct("<QqqBQ")
_PROBE_TIMEOUT_S = 1.0


class PortHeldByOther(RuntimeError):
    """The bus's port is taken by a program that does not speak Zenoh."""


def frame_key(domain_id: int, namespace: str) -> str:
    """The key of the per-frame record under ``namespace`` (absolute, e.g. ``/cam0``)."""
    return f"{domain_id}/{namespace.strip('/')}/quorvan/frame"


def namespace_keys(domain_id: int, namespace: str) -> str:
    """A key expression matching every sample published under ``namespace``."""
    return f"{domain_id}/{namespace.strip('/')}/**"


def open_session(
    listen: Iterable[str] | None = None,
    connect: Iterable[str] | None = None,
    handshake_timeout_ms: int | None = None,
    connect_timeout_ms: int | None = None,
    router: bool = False,
) -> zenoh.Session:
    """A peer (or with ``router``, router) session on exactly the given endpoints,
    without multicast scouting.

    Scouting stays off so that nothing outside the endpoints the user chose
    is reached; peers learn of each other through the endpoints (and, joined
    to a router, through its gossip). ``handshake_timeout_ms`` bounds how long
    opening waits for an endpoint that accepts connections but never answers
    as a Zenoh peer; with ``connect_timeout_ms`` opening fails (``zenoh.ZError``)
    unless a connect endpoint answers within that time.
    """
    config = zenoh.Config()
    config.insert_json5("mode", json.dumps("router" if router else "peer"))
    config.insert_json5("scouting/multicast/enabled", "false")
    config.insert_json5("listen/endpoints", json.dumps(list(listen or [])))
    config.insert_json5("connect/endpoints", json.dumps(list(connect or [])))
    # A busy machine can fill a link's queue for a few milliseconds; waiting
    # up to 100 ms before dropping keeps frames whole, and a really stalled
    # peer still costs the sender no more than that per sample.
    config.insert_json5(
        "transport/link/tx/queue/congestion_control/drop/wait_before_drop", "100000"
    )
    # Room for a few whole frames per link (16 batches of 64 KiB, the most
    # Zenoh allows; the default is 2): a peer that stalls for a moment, a
    # Python client busy deserialising, catches up instead of losing a frame.
    config.insert_json5("transport/link/tx/queue/size/data", "16")
    if handshake_timeout_ms is not None:
        config.insert_json5("transport/unicast/open_timeout", str(int(handshake_timeout_ms)))
    if connect_timeout_ms is not None:
        config.insert_json5("connect/timeout_ms", str(int(connect_timeout_ms)))
        config.insert_json5("connect/exit_on_failure", "true")
    return zenoh.open(config)


def endpoints(values: Sequence[str] | None, default: Sequence[str]) -> list[str]:
    return list(values) if values else list(default)


def _tcp_port_answers(host: str, port: int) -> bool:
    """Whether anything accepts TCP connections on ``host:port``."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.settimeout(_PROBE_TIMEOUT_S)
        try:
            probe.connect((host, port))
        except OSError as error:
            if error.errno in (errno.ECONNREFUSED, errno.ECONNRESET):
                return False
            raise
        return True


def zenoh_answers(endpoint: str) -> bool:
    """Whether a Zenoh node (router or peer) completes a handshake on ``endpoint``."""
    try:
        probe = open_session(
            [],
            [endpoint],
            handshake_timeout_ms=int(_PROBE_TIMEOUT_S * 1000),
            connect_timeout_ms=int(_PROBE_TIMEOUT_S * 1500),
        )
    except zenoh.ZError:
        return False
    probe.close()  # type: ignore[no-untyped-call]
    return True


@dataclass(frozen=True)
class PublisherEndpoints:
    """Where a publisher listens and what it connects to, and why (for its first line)."""

    listen: list[str]
    connect: list[str]
    how: str
    # Holding the router's port, the publisher routes for everyone who
    # connects there, as the router would: ROS 2 nodes and other cameras.
    router: bool = False


def port_held_message(port: int) -> str:
    return (
        f"port {port} on {DEFAULT_HOST} is held by a program that is not Zenoh; "
        f"give the bus another port with --listen tcp/{DEFAULT_HOST}:PORT "
        "(and --connect to it on the subscribers)"
    )


def default_publisher_endpoints(
    host: str = DEFAULT_HOST, port: int = DEFAULT_PORT
) -> PublisherEndpoints:
    """Join the Zenoh router on ``host:port`` if one runs there, else listen there.

    Raises :class:`PortHeldByOther` when something that does not answer as
    Zenoh accepts connections on the port.
    """
    endpoint = f"tcp/{host}:{port}"
    if not _tcp_port_answers(host, port):
        return PublisherEndpoints(
            [endpoint], [], f"no Zenoh router found, routing on {endpoint} itself", router=True
        )
    if zenoh_answers(endpoint):
        return PublisherEndpoints(
            [f"tcp/{host}:0"], [endpoint], f"joined the Zenoh router or peer on {endpoint}"
        )
    raise PortHeldByOther(port_held_message(port))


__all__ = [
    "ANY_LOCAL_PORT",
    "DEFAULT_ENDPOINT",
    "DEFAULT_PORT",
    "FRAME_RECORD",
    "PortHeldByOther",
    "PublisherEndpoints",
    "default_publisher_endpoints",
    "endpoints",
    "frame_key",
    "namespace_keys",
    "open_session",
    "port_held_message",
    "zenoh_answers",
]
