"""Frame sets: one frame of each of several cameras, taken at the same moment.

Cameras that are not triggered together capture at moments of their own.
Each frame carries its capture time on the host's monotonic clock
(``frame.getHostTimestampNs()``, mapped from the camera's own clock with its
drift corrected), so frames of different cameras can be compared directly.
:class:`FrameSets` groups them: a set holds one item per camera whose host
timestamps all lie within a tolerance of each other, by default half a frame
period; items that can no longer be matched are reported as unmatched.

The items are whatever the caller keeps of a frame: the frame object itself,
or (better, since a held frame keeps one of its camera's few buffers) what
was copied out of it::

    sets = FrameSets(cameras=2, frame_rate=30.0)
    for index, camera in enumerate(cameras):
        frame = camera.requestFrame(1000)
        sets.add(index, frame.getHostTimestampNs(), frame.getDepthData())
        camera.releaseFrame(frame)
    for depth_left, depth_right in sets.take_sets():
        ...

The matching itself is native (``QuorvanDepthCamera.QuorvanFrameSetMatcher``).
"""

from __future__ import annotations

from typing import Generic, TypeVar

import QuorvanDepthCamera as qdc

Item = TypeVar("Item")

__all__ = ["FrameSets", "Unmatched"]


class Unmatched(Generic[Item]):
    """An item no set took: its camera, its host timestamp and the item."""

    __slots__ = ("camera", "host_ns", "item")

    def __init__(self, camera: int, host_ns: int, item: Item) -> None:
        self.camera = camera
        self.host_ns = host_ns
        self.item = item

    def __repr__(self) -> str:
        return f"Unmatched(camera={self.camera}, host_ns={self.host_ns})"


class FrameSets(Generic[Item]):
    """Groups items of ``cameras`` cameras by host timestamp.

    ``tolerance_ns`` is the largest spread of host timestamps within a set
    (default: half a frame period at ``frame_rate``). An item waits at most
    ``patience_ns`` of host time (measured by the newest item added) for its
    partners before it is reported unmatched. Add each camera's items in the
    order of their timestamps; every item added comes out exactly once, in a
    set or unmatched.
    """

    def __init__(
        self,
        cameras: int,
        frame_rate: float = 30.0,
        tolerance_ns: int | None = None,
        patience_ns: int = 500_000_000,
    ) -> None:
        if tolerance_ns is None:
            if not frame_rate > 0:
                raise ValueError("frame_rate must be positive to derive a tolerance")
            tolerance_ns = qdc.QuorvanFrameSetMatcher.defaultTolerance(frame_rate)
        self._matcher = qdc.QuorvanFrameSetMatcher(cameras, tolerance_ns, patience_ns)
        self._items: dict[int, Item] = {}
        self._next_id = 0

    @property
    def cameras(self) -> int:
        return self._matcher.cameras

    @property
    def tolerance_ns(self) -> int:
        return self._matcher.tolerance_ns

    def add(self, camera: int, host_ns: int, item: Item) -> None:
        """Adds one camera's item; ValueError for a camera out of range or a
        timestamp before that camera's previous one."""
        item_id = self._next_id
        self._matcher.add(camera, host_ns, item_id)
        self._items[item_id] = item
        self._next_id += 1

    def take_sets(self) -> list[tuple[Item, ...]]:
        """The sets completed since the last call: one item per camera, in
        camera order."""
        return [
            tuple(self._items.pop(member.id) for member in members)
            for members in self._matcher.takeSets()
        ]

    def take_unmatched(self) -> list[Unmatched[Item]]:
        """The items given up on since the last call, oldest first."""
        return [
            Unmatched(member.camera, member.host_ns, self._items.pop(member.id))
            for member in self._matcher.takeUnmatched()
        ]

    def flush(self) -> None:
        """Gives up on every item still waiting (at the end of a stream)."""
        self._matcher.flush()

    def pending(self) -> int:
        """Items waiting for partners."""
        return self._matcher.pending()
