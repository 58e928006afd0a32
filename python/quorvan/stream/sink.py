"""The one interface through which a camera's frames reach what consumes them."""

from __future__ import annotations

from typing import Protocol

from .reader import FrameSnapshot

__all__ = ["FrameSink"]


class FrameSink(Protocol):
    """A consumer of frames (recorder, bus publisher, Foxglove server, viewer).

    The stream core calls :meth:`consume` on a thread it runs for this sink
    alone, one frame at a time, so a sink may block (on a disk, a socket)
    without holding up the camera or the other sinks; frames that arrive
    while it is busy wait in the core's queue for it, and the oldest give way
    when that is full. An exception from :meth:`consume` ends the sink: the
    core stops feeding it and raises the error on its next call. :meth:`close`
    is called once, after the last :meth:`consume`.
    """

    @property
    def name(self) -> str:
        """What the sink is, for messages and statistics (``"recorder"``)."""
        ...

    def consume(self, snapshot: FrameSnapshot) -> None: ...

    def close(self) -> None: ...
