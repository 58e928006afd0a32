"""From one camera to many consumers: the reader thread, frame snapshots and the sink interface.

Nothing here imports a transport (Zenoh, Foxglove, MCAP): each sink's own
module does, so a program pays only for the outputs it uses.
"""

from __future__ import annotations

from .reader import CameraReader, FrameSnapshot, NewestFrameSlot, snapshot_frame
from .sink import FrameSink

__all__ = ["CameraReader", "FrameSink", "FrameSnapshot", "NewestFrameSlot", "snapshot_frame"]
