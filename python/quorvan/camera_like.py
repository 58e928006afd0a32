"""What this package needs of a camera, as Protocols a type checker can hold us to.

A live ``QuorvanDepthCamera.QuorvanCamera``, the native
``QuorvanPlaybackCamera`` and :class:`quorvan.replay.PlaybackCamera` all
satisfy them, so every function here takes any of the three. The method
names are the extension module's own; the parameters are positional-only
because the implementations name them differently (``ctrl``, ``control``).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Protocol, SupportsIndex, Union

import QuorvanDepthCamera as qdc

Frame = Union[qdc.RawData, qdc.DepthData]

__all__ = ["CameraLike", "ControllableCamera", "Frame", "FrameSource"]


class FrameSource(Protocol):
    """A started camera that frames are taken from and given back to."""

    def requestFrame(self, timeout: int, /) -> Frame | None: ...

    def releaseFrame(self, frame: qdc.QuorvanFrame | None, /) -> qdc.TOFErrorCode: ...


class CameraLike(FrameSource, Protocol):
    """A camera whose sensor and controls can be read: what a recorder, publisher
    or server reads of it besides its frames."""

    def getCameraInfo(self) -> qdc.QuorvanInfo: ...

    def getControl(self, control: qdc.TOFControl, /) -> int: ...


class ControllableCamera(CameraLike, Protocol):
    """A camera whose controls can also be set (a replayed recording's cannot)."""

    def setControl(self, control: qdc.TOFControl, value: SupportsIndex, /) -> qdc.TOFErrorCode: ...


if TYPE_CHECKING:
    # mypy proves here that the module's cameras fit the Protocols, so a
    # change to either side shows up in the type check, not at a user's call.
    def _fits(
        live: qdc.QuorvanCamera, playback: qdc.QuorvanPlaybackCamera
    ) -> tuple[ControllableCamera, ControllableCamera]:
        return live, playback
