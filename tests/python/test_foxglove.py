"""The Foxglove live server, seen by a real WebSocket client."""

import asyncio
import json
import struct

import numpy as np
import pytest

qdc = pytest.importorskip("QuorvanDepthCamera")
pytest.importorskip("foxglove")
websockets = pytest.importorskip("websockets")

from quorvan import messages  # noqa: E402
from quorvan.foxglove_live import FoxgloveLiveServer, decimated_points  # noqa: E402

SUBPROTOCOL = "foxglove.sdk.v1"
MESSAGE_DATA_OPCODE = 1


async def _advertised_and_frames(port, wanted_topics, frames_per_topic):
    url = f"ws://127.0.0.1:{port}"
    async with websockets.connect(url, subprotocols=[SUBPROTOCOL], max_size=None) as socket:
        assert socket.subprotocol == SUBPROTOCOL
        channels = {}
        while not set(wanted_topics) <= {c["topic"] for c in channels.values()}:
            message = json.loads(await asyncio.wait_for(socket.recv(), 10))
            if message.get("op") == "advertise":
                channels.update({c["id"]: c for c in message["channels"]})
        subscriptions = [{"id": index, "channelId": channel["id"]}
                         for index, channel in enumerate(channels.values())
                         if channel["topic"] in wanted_topics]
        topic_of = {s["id"]: channels[s["channelId"]]["topic"] for s in subscriptions}
        await socket.send(json.dumps({"op": "subscribe", "subscriptions": subscriptions}))
        received = {topic: [] for topic in wanted_topics}
        while min(len(v) for v in received.values()) < frames_per_topic:
            data = await asyncio.wait_for(socket.recv(), 10)
            if isinstance(data, bytes) and data[0] == MESSAGE_DATA_OPCODE:
                subscription_id, log_time = struct.unpack_from("<IQ", data, 1)
                received[topic_of[subscription_id]].append((log_time, data[13:]))
        return channels, received


def test_client_sees_the_channels_and_receives_depth_frames(camera):
    from foxglove.messages import RawImage  # noqa: F401  (the schema the client decodes with)

    with FoxgloveLiveServer(camera, port=0) as server:
        wanted = ["/quorvan/depth/image_raw", "/quorvan/amplitude/image_raw",
                  "/quorvan/depth/camera_info", "/quorvan/points"]
        channels, received = asyncio.run(_advertised_and_frames(server.port, wanted, 3))
    by_topic = {c["topic"]: c for c in channels.values()}
    assert by_topic["/quorvan/depth/image_raw"]["schemaName"] == "foxglove.RawImage"
    assert by_topic["/quorvan/amplitude/image_raw"]["schemaName"] == "foxglove.RawImage"
    assert by_topic["/quorvan/depth/camera_info"]["schemaName"] == "foxglove.CameraCalibration"
    assert by_topic["/quorvan/points"]["schemaName"] == "foxglove.PointCloud"
    # A 240x180 float plane is inside each depth message, so it is no empty stub.
    for _, payload in received["/quorvan/depth/image_raw"]:
        assert len(payload) > 240 * 180 * 4
    assert b"32FC1" in received["/quorvan/depth/image_raw"][0][1]
    assert b"plumb_bob" in received["/quorvan/depth/camera_info"][0][1]


def test_a_client_that_offers_no_subprotocol_gets_no_channels(camera):
    async def connect_plain(port):
        # Refused means the handshake fails or the server closes the socket;
        # a server that accepts and then stays silent has not refused, so a
        # timeout here is a failure, not a pass.
        try:
            async with websockets.connect(f"ws://127.0.0.1:{port}") as socket:
                message = await asyncio.wait_for(socket.recv(), 10)
        except (websockets.exceptions.InvalidHandshake, websockets.exceptions.ConnectionClosed):
            return "refused"
        except asyncio.TimeoutError:
            return "silent"
        return f"sent {message!r:.80}"

    with FoxgloveLiveServer(camera, port=0) as server:
        assert asyncio.run(connect_plain(server.port)) == "refused"
        # and the server still serves a proper client afterwards
        _, received = asyncio.run(
            _advertised_and_frames(server.port, ["/quorvan/depth/image_raw"], 1))
        assert received["/quorvan/depth/image_raw"]


def test_a_namespace_moves_the_topics_and_the_frame(camera):
    with FoxgloveLiveServer(camera, port=0, namespace="/front") as server:
        channels, received = asyncio.run(
            _advertised_and_frames(server.port, ["/front/depth/image_raw"], 2))
        assert server.frames_sent >= 2
    assert not any(c["topic"].startswith("/quorvan/") for c in channels.values())
    assert b"front_optical_frame" in received["/front/depth/image_raw"][0][1]
    with pytest.raises(ValueError, match="ROS name"):
        FoxgloveLiveServer(camera, port=0, namespace="/2front")


def test_point_cloud_follows_each_pixels_ray():
    intrinsics = messages.nominal_intrinsics(240, 180)
    depth = np.full((180, 240), 2000.0, np.float32)
    depth[0, 0] = 0.0  # no depth, no point
    points = decimated_points(depth, intrinsics, step=4)
    assert points.shape == (60 * 45 - 1, 3)
    # Radial depth: every point lies 2 m from the camera, the centre ones straight ahead.
    np.testing.assert_allclose(np.linalg.norm(points, axis=1), 2.0, rtol=1e-5)
    assert points[:, 2].min() < 1.9
