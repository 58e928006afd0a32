"""Frames beyond one process: a camera's frames on the Zenoh bus.

``Publisher(camera, name)`` puts a started camera's frames under the keys
``<name>/depth``, ``<name>/amplitude``, ``<name>/confidence``, ``<name>/raw``
and ``<name>/camera_info`` (ROS 2 CDR, the encoding of recordings; details in
:mod:`quorvan.live.session`); ``Subscriber(name).receive(timeout_ms)`` gives
them back as :class:`LiveFrame` objects. From a shell::

    python -m quorvan.live publish --name kit
"""

from .publisher import Publisher, PublisherNameTaken
from .subscriber import LiveFrame, Subscriber

__all__ = ["LiveFrame", "Publisher", "PublisherNameTaken", "Subscriber"]
