"""From one camera to many consumers: the reader thread, frame snapshots, the sink
interface and the stream that fans frames out to sinks.

Nothing here imports a transport (Zenoh, Foxglove, MCAP): each sink's own
module does, so a program pays only for the outputs it uses.
"""

from __future__ import annotations

from .fanout import DEFAULT_SINK_QUEUE, FrameStream, SinkFailed, SinkStatistics
from .reader import CameraReader, FrameSnapshot, NewestFrameSlot, snapshot_frame
from .sink import FrameSink

__all__ = [
    "DEFAULT_SINK_QUEUE",
    "CameraReader",
    "FrameSink",
    "FrameSnapshot",
    "FrameStream",
    "NewestFrameSlot",
    "SinkFailed",
    "SinkStatistics",
    "snapshot_frame",
]
