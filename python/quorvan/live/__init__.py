"""Frames beyond one process: a camera's frames on the Zenoh bus.

``Publisher(camera, name)`` puts a started camera's frames under the keys
``<name>/depth``, ``<name>/amplitude``, ``<name>/confidence``, ``<name>/raw``
and ``<name>/camera_info`` (ROS 2 CDR, the encoding of recordings; details in
:mod:`quorvan.live.session`); ``Subscriber(name).receive(timeout_ms)`` gives
them back as :class:`LiveFrame` objects. From a shell::

    python -m quorvan.live publish --name kit

The names are imported on first use, so that the helpers beside them
(:mod:`quorvan.live.camera_setup`) work where Zenoh is not installed.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .publisher import Publisher, PublisherNameTaken
    from .subscriber import LiveFrame, Subscriber

__all__ = ["LiveFrame", "Publisher", "PublisherNameTaken", "Subscriber"]

_HOMES = {
    "Publisher": "publisher",
    "PublisherNameTaken": "publisher",
    "LiveFrame": "subscriber",
    "Subscriber": "subscriber",
}


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{home}", __name__), name)
    globals()[name] = value
    return value
