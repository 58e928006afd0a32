"""What the bus puts on the wire for rmw_zenoh, checked against implementations
we did not write: Zenoh's own serializer, rosbags' type hashes and the
zenoh-ros2-sdk client's key, token and QoS code."""

import pytest

zext = pytest.importorskip("zenoh.ext")
from rosbags.typesys import Stores, get_typestore  # noqa: E402

from quorvan.live import rmw_zenoh  # noqa: E402


def test_the_attachment_is_zenohs_serialization_of_sequence_time_and_gid():
    gid = bytes(range(16))
    ours = rmw_zenoh.Attachment(-3, 1_765_000_000_123_456_789, gid).to_bytes()
    theirs = zext.z_serialize((zext.Int64(-3), zext.Int64(1_765_000_000_123_456_789), gid))
    assert ours == theirs.to_bytes() and len(ours) == 33
    sequence, stamp, back = zext.z_deserialize(tuple[zext.Int64, zext.Int64, bytes], theirs)
    parsed = rmw_zenoh.Attachment.from_bytes(ours)
    assert (parsed.sequence, parsed.source_timestamp_ns, parsed.gid) == (int(sequence), int(stamp),
                                                                         back)
    # The 17-byte attachment of earlier versions, a cut one, a GID of the wrong size.
    for data in (ours[:17], ours[:-1], ours[:16] + b"\x0f" + ours[17:32] + b"\x00\x00"):
        with pytest.raises(ValueError):
            rmw_zenoh.Attachment.from_bytes(data)
    with pytest.raises(ValueError):
        rmw_zenoh.Attachment(1, 2, b"short").to_bytes()


def test_type_names_and_hashes_are_ros2_jazzys():
    store = get_typestore(Stores.ROS2_JAZZY)
    for kind in (rmw_zenoh.IMAGE, rmw_zenoh.CAMERA_INFO, rmw_zenoh.COMPRESSED_IMAGE,
                 rmw_zenoh.POINT_CLOUD2):
        assert kind.type_hash == store.hash_rihs01(kind.name)
    assert rmw_zenoh.IMAGE.wire_name == "sensor_msgs::msg::dds_::Image_"


def test_keys_tokens_and_qos_match_an_independent_rmw_zenoh_client():
    sdk = pytest.importorskip("zenoh_ros2_sdk")
    from zenoh_ros2_sdk.entity import EndpointEntity, EntityKind, NodeEntity
    from zenoh_ros2_sdk.keyexpr import (endpoint_liveliness_keyexpr, node_liveliness_keyexpr,
                                        topic_keyexpr)
    from zenoh_ros2_sdk.qos import QosProfile, QosReliability
    del sdk
    kind = rmw_zenoh.IMAGE
    topic = "/front/left/depth/image_raw"
    assert rmw_zenoh.topic_key(7, topic, kind) == topic_keyexpr(7, topic, kind.wire_name,
                                                                 kind.type_hash)
    node = NodeEntity(domain_id=7, session_id="ab12", node_id=3, node_name="quorvan_camera",
                      namespace="/front/left")
    assert rmw_zenoh.node_token(7, "ab12", 3, "/front/left", "quorvan_camera") == \
        node_liveliness_keyexpr(node)
    best_effort = QosProfile(reliability=QosReliability.BEST_EFFORT, history_depth=5)
    assert rmw_zenoh.SENSOR_DATA_QOS.token_text() == best_effort.encode()
    assert rmw_zenoh.CAMERA_INFO_QOS.token_text() == QosProfile(history_depth=10).encode()
    decoded = QosProfile.decode(rmw_zenoh.SENSOR_DATA_QOS.token_text())
    assert decoded.reliability == QosReliability.BEST_EFFORT and decoded.history_depth == 5
    endpoint = EndpointEntity(node=node, entity_id=9, kind=EntityKind.PUBLISHER, name=topic,
                              dds_type_name=kind.wire_name, type_hash=kind.type_hash,
                              qos=rmw_zenoh.SENSOR_DATA_QOS.token_text())
    assert rmw_zenoh.publisher_token(7, "ab12", 3, 9, "/front/left", "quorvan_camera", topic,
                                     kind, rmw_zenoh.SENSOR_DATA_QOS) == \
        endpoint_liveliness_keyexpr(endpoint)


def test_the_domain_comes_from_the_environment_as_ros_reads_it(monkeypatch):
    monkeypatch.delenv("ROS_DOMAIN_ID", raising=False)
    assert rmw_zenoh.domain_id_from_environment() == 0
    monkeypatch.setenv("ROS_DOMAIN_ID", " 42 ")
    assert rmw_zenoh.domain_id_from_environment() == 42
    for bad in ("-1", "abc", "233", "1.5"):
        monkeypatch.setenv("ROS_DOMAIN_ID", bad)
        with pytest.raises(ValueError, match="ROS_DOMAIN_ID"):
            rmw_zenoh.domain_id_from_environment()
