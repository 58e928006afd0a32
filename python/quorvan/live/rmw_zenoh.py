"""How a ROS 2 node over rmw_zenoh finds and reads our topics.

This follows the wire format of rmw_zenoh_cpp 0.2 (ROS 2 Jazzy; Kilted and
Rolling use the same), which sits on Zenoh 1.x:

- **Data** of a topic is put under ``<domain_id>/<topic>/<type>/<type hash>``:
  the fully qualified topic name without its leading slash, the DDS-style
  type name (``sensor_msgs::msg::dds_::Image_``) and the type's RIHS01 hash.
  The payload is the message's CDR bytes with their encapsulation header.
- **Attachment** of every sample: 33 bytes, Zenoh's own serialization of
  (int64 sequence number, int64 source timestamp in nanoseconds, 16-byte GID):
  two little-endian int64 values, the length 16 as one LEB128 byte, the GID.
  rmw_zenoh drops samples without it.
- **Discovery** is by liveliness tokens under ``@ros2_lv``; ``ros2 topic list``
  and ``ros2 node list`` show what the tokens say::

    @ros2_lv/<domain>/<zid>/<node id>/<node id>/NN/<enclave>/<namespace>/<node>
    @ros2_lv/<domain>/<zid>/<node id>/<entity id>/MP/<enclave>/<namespace>/<node>/
        <topic>/<type>/<type hash>/<qos>

  Names are "mangled": every ``/`` becomes ``%`` (namespace ``/cam0`` is
  ``%cam0``, the default enclave ``/`` is ``%``). The QoS part lists
  reliability, durability, history kind and depth, deadline, lifespan and
  liveliness, each left empty where it equals rmw_zenoh's default (reliable,
  volatile, keep last 42, infinite durations, automatic liveliness).

The GID of an entity only needs to be unique and stable for its lifetime;
rmw_zenoh hashes the liveliness token into it, and so do we (with BLAKE2b, so
the value differs from rmw_zenoh's own, which no receiver compares).
"""

from __future__ import annotations

import hashlib
import os
import struct
from dataclasses import dataclass

__all__ = [
    "ADMIN_SPACE",
    "ATTACHMENT_SIZE",
    "CAMERA_INFO",
    "CAMERA_INFO_QOS",
    "COMPRESSED_IMAGE",
    "IMAGE",
    "POINT_CLOUD2",
    "SENSOR_DATA_QOS",
    "Attachment",
    "MessageType",
    "Qos",
    "domain_id_from_environment",
    "entity_gid",
    "mangle",
    "node_token",
    "node_token_pattern",
    "publisher_token",
    "topic_key",
]

ADMIN_SPACE = "@ros2_lv"
GID_SIZE = 16
ATTACHMENT_SIZE = 8 + 8 + 1 + GID_SIZE
_ATTACHMENT = struct.Struct("<qqB")
DEFAULT_ENCLAVE = "/"
MAX_DOMAIN_ID = 232  # rcl refuses more (the DDS port arithmetic's limit)


@dataclass(frozen=True)
class MessageType:
    """A ROS 2 message type as rmw_zenoh names it on the wire."""

    name: str  # sensor_msgs/msg/Image
    type_hash: str  # RIHS01_<64 hex digits>

    @property
    def wire_name(self) -> str:
        """``sensor_msgs::msg::dds_::Image_``: the type name in keys and tokens."""
        package, kind, message = self.name.split("/")
        return f"{package}::{kind}::dds_::{message}_"


# RIHS01 hashes of ROS 2 Jazzy's type descriptions (the same in rosbags'
# ROS2_JAZZY type store, which the tests compare with).
IMAGE = MessageType(
    "sensor_msgs/msg/Image",
    "RIHS01_d31d41a9a4c4bc8eae9be757b0beed306564f7526c88ea6a4588fb9582527d47",
)
CAMERA_INFO = MessageType(
    "sensor_msgs/msg/CameraInfo",
    "RIHS01_b3dfd68ff46c9d56c80fd3bd4ed22c7a4ddce8c8348f2f59c299e73118e7e275",
)
COMPRESSED_IMAGE = MessageType(
    "sensor_msgs/msg/CompressedImage",
    "RIHS01_15640771531571185e2efc8a100baf923961a4d15d5569652e6cb6691e8e371a",
)
POINT_CLOUD2 = MessageType(
    "sensor_msgs/msg/PointCloud2",
    "RIHS01_9198cabf7da3796ae6fe19c4cb3bdd3525492988c70522628af5daa124bae2b5",
)

# rmw's enum values (rmw/types.h).
RELIABILITY_RELIABLE = 1
RELIABILITY_BEST_EFFORT = 2
DURABILITY_TRANSIENT_LOCAL = 1
DURABILITY_VOLATILE = 2
HISTORY_KEEP_LAST = 1
HISTORY_KEEP_ALL = 2


@dataclass(frozen=True)
class Qos:
    """The QoS a publisher offers; what its liveliness token states."""

    reliability: int
    durability: int = DURABILITY_VOLATILE
    history: int = HISTORY_KEEP_LAST
    depth: int = 42

    def token_text(self) -> str:
        """The QoS part of a liveliness token, defaults left empty as rmw_zenoh writes it."""

        def unless_default(value: int, default: int) -> str:
            return "" if value == default else str(value)

        reliability = unless_default(self.reliability, RELIABILITY_RELIABLE)
        durability = unless_default(self.durability, DURABILITY_VOLATILE)
        history = unless_default(self.history, HISTORY_KEEP_LAST)
        depth = unless_default(self.depth, 42)
        # Deadline, lifespan and liveliness stay at their defaults.
        return f"{reliability}:{durability}:{history},{depth}:,:,:,,"


# rclcpp's SensorDataQoS: best effort, keep the last 5. Images go out with it,
# so a subscriber that falls behind loses frames instead of slowing the camera.
SENSOR_DATA_QOS = Qos(RELIABILITY_BEST_EFFORT, depth=5)
# Camera info as image_transport's camera publishers offer it: reliable.
CAMERA_INFO_QOS = Qos(RELIABILITY_RELIABLE, depth=10)


def domain_id_from_environment() -> int:
    """``ROS_DOMAIN_ID`` as ROS reads it: 0 when unset or empty; ``ValueError`` otherwise."""
    text = os.environ.get("ROS_DOMAIN_ID", "").strip()
    if not text:
        return 0
    if not text.isdigit() or int(text) > MAX_DOMAIN_ID:
        raise ValueError(f"ROS_DOMAIN_ID={text!r} is not a domain id (0 to {MAX_DOMAIN_ID})")
    return int(text)


def mangle(name: str) -> str:
    """A ROS name as one chunk of a key expression: every ``/`` becomes ``%``."""
    return name.replace("/", "%")


def topic_key(domain_id: int, topic: str, message_type: MessageType) -> str:
    """The key expression the data of ``topic`` travels under."""
    return f"{domain_id}/{topic.strip('/')}/{message_type.wire_name}/{message_type.type_hash}"


def _node_part(domain_id: int, zid: str, node_id: int, entity_id: int, kind: str) -> str:
    return f"{ADMIN_SPACE}/{domain_id}/{zid}/{node_id}/{entity_id}/{kind}"


def node_token(
    domain_id: int,
    zid: str,
    node_id: int,
    namespace: str,
    node_name: str,
    enclave: str = DEFAULT_ENCLAVE,
) -> str:
    """The liveliness token of a node (entity id = node id, as rmw_zenoh declares it)."""
    return (
        f"{_node_part(domain_id, zid, node_id, node_id, 'NN')}/"
        f"{mangle(enclave)}/{mangle(namespace)}/{mangle(node_name)}"
    )


def node_token_pattern(domain_id: int, namespace: str, node_name: str) -> str:
    """A key expression matching the token of the node ``namespace/node_name`` in any session."""
    return f"{ADMIN_SPACE}/{domain_id}/*/*/*/NN/*/{mangle(namespace)}/{mangle(node_name)}"


def publisher_token(
    domain_id: int,
    zid: str,
    node_id: int,
    entity_id: int,
    namespace: str,
    node_name: str,
    topic: str,
    message_type: MessageType,
    qos: Qos,
    enclave: str = DEFAULT_ENCLAVE,
) -> str:
    """The liveliness token of a publisher of ``topic`` on the node."""
    return (
        f"{_node_part(domain_id, zid, node_id, entity_id, 'MP')}/"
        f"{mangle(enclave)}/{mangle(namespace)}/{mangle(node_name)}/"
        f"{mangle(topic)}/{message_type.wire_name}/{message_type.type_hash}/{qos.token_text()}"
    )


def entity_gid(token: str) -> bytes:
    """A 16-byte GID, unique to the entity whose liveliness token this is."""
    return hashlib.blake2b(token.encode(), digest_size=GID_SIZE).digest()


@dataclass(frozen=True)
class Attachment:
    """What rides with every sample: sequence number, source time, publisher GID."""

    sequence: int
    source_timestamp_ns: int
    gid: bytes

    def to_bytes(self) -> bytes:
        if len(self.gid) != GID_SIZE:
            raise ValueError(f"a GID has {GID_SIZE} bytes, not {len(self.gid)}")
        return _ATTACHMENT.pack(self.sequence, self.source_timestamp_ns, GID_SIZE) + self.gid

    @classmethod
    def from_bytes(cls, data: bytes) -> Attachment:
        """``ValueError`` for anything but the 33 bytes of an attachment."""
        if len(data) != ATTACHMENT_SIZE:
            raise ValueError(f"an attachment has {ATTACHMENT_SIZE} bytes, not {len(data)}")
        sequence, timestamp, gid_size = _ATTACHMENT.unpack_from(data)
        if gid_size != GID_SIZE:
            raise ValueError(f"an attachment's GID has {GID_SIZE} bytes, not {gid_size}")
        return cls(sequence, timestamp, bytes(data[_ATTACHMENT.size :]))
