"""The Foxglove server when clients stop reading and vanish: one line per client."""

import asyncio
import json
import logging
import re

import pytest

import QuorvanDepthCamera as qdc

pytest.importorskip("foxglove")
websockets = pytest.importorskip("websockets")

from quorvan.foxglove_live import FoxgloveLiveServer  # noqa: E402

CLIENT_ERROR = re.compile(r"Error (?:sending message to|receiving from) client (\S+?):? ")


async def stalled_clients(port, count, stall_s):
    """Clients that subscribe to every channel, stop reading, then drop the connection."""
    clients = []
    for _ in range(count):
        client = await websockets.connect(f"ws://127.0.0.1:{port}", max_size=None,
                                          subprotocols=["foxglove.sdk.v1"])
        channels = set()
        while len(channels) < 4:
            message = json.loads(await asyncio.wait_for(client.recv(), 10))
            if message.get("op") == "advertise":
                channels.update(channel["id"] for channel in message["channels"])
        await client.send(json.dumps({"op": "subscribe", "subscriptions": [
            {"id": number, "channelId": channel} for number, channel in enumerate(channels)]}))
        clients.append(client)
    for client in clients:
        client.transport.pause_reading()
    await asyncio.sleep(stall_s)
    for client in clients:
        client.transport.abort()
    await asyncio.sleep(2)  # what the server still sends after the disconnect


def test_clients_that_stop_reading_and_vanish_cost_one_line_each(caplog):
    camera = qdc.QuorvanCamera()
    assert camera.open(qdc.TOFConnect.USB) == qdc.TOFErrorCode.QuorvanSuccess
    try:
        assert camera.start(qdc.TOFOutput.DEPTH) == qdc.TOFErrorCode.QuorvanSuccess
        with caplog.at_level(logging.INFO), FoxgloveLiveServer(camera, port=0) as server:
            asyncio.run(stalled_clients(server.port, 2, 4.0))
        camera.stop()
    finally:
        camera.close()
    clients = [CLIENT_ERROR.match(record.getMessage()) for record in caplog.records]
    per_client = {}
    for match in filter(None, clients):
        per_client[match.group(1)] = per_client.get(match.group(1), 0) + 1
    assert per_client, "the clients' disconnects were not reported at all"
    assert len(per_client) <= 2 and max(per_client.values()) == 1, per_client
