"""Frames beyond one process: a camera's frames on the Zenoh bus, as a ROS 2 node.

``Publisher(camera, "/cam0")`` publishes a started camera's frames as the
ROS 2 node ``/cam0/quorvan_camera`` over rmw_zenoh: ``depth/image_raw``,
``depth/camera_info``, ``depth/image_raw/compressedDepth``,
``amplitude/image_raw``, ``confidence/image_raw`` (``raw/image_raw`` for a
raw camera, ``points`` on request) under the namespace, which ``ros2 topic
list`` shows (details in :mod:`quorvan.live.session` and
:mod:`quorvan.live.rmw_zenoh`); ``Subscriber("/cam0").receive(timeout_ms)``
gives them back as :class:`LiveFrame` objects. From a shell::

    python -m quorvan.live publish --namespace /cam0
"""

from .publisher import Publisher, PublisherNameTaken
from .subscriber import LiveFrame, Subscriber

__all__ = ["LiveFrame", "Publisher", "PublisherNameTaken", "Subscriber"]
