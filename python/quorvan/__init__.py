"""Recording, replay and live tools for Quorvan depth cameras.

The camera itself is the extension module ``QuorvanDepthCamera``; this package
adds what is written in Python on top of it:

- :mod:`quorvan.camera_like`: ``CameraLike`` and its kin, what the package's
  functions need of a camera (a live one or a replayed recording);
- :mod:`quorvan.messages`: ROS 2 message definitions (``sensor_msgs/msg/Image``,
  ``sensor_msgs/msg/CameraInfo``) and their CDR encoding, with the topic names
  every tool of this package uses;
- :mod:`quorvan.record`: ``Recorder``, which writes a camera's frames into an
  MCAP file that ROS 2 tools open;
- :mod:`quorvan.replay`: ``PlaybackCamera``, which plays such a file back
  through the camera's own processing code;
- :mod:`quorvan.kit_configs`: the shipped kit configurations, by name;
- :mod:`quorvan.framesets`: ``FrameSets``, which groups frames of several
  cameras taken at the same moment by their host timestamps;
- :mod:`quorvan.depth_picture`: depth pictures with their millimetre scale;
- :mod:`quorvan.live` (the Zenoh bus), :mod:`quorvan.viewer` (a browser page),
  :mod:`quorvan.foxglove_live` and :mod:`quorvan.tools` (the console scripts).

Submodules are imported on use: the live ones need the ``live`` extras.
``__version__`` is the installed package's version (``QuorvanDepthCamera.__version__``
is the extension module's own, which says "dev").
"""

from ._version import package_version

__version__ = package_version()

# A star import imports every module named here, so the two that need the
# live extras (live, foxglove_live) are left to an explicit import.
__all__ = [
    "__version__",
    "camera_like",
    "closing",
    "depth_picture",
    "framesets",
    "kit_configs",
    "messages",
    "record",
    "recording_file",
    "replay",
    "tools",
    "viewer",
]
