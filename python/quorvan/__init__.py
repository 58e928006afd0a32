"""Recording, replay and live tools for Quorvan depth cameras.

The camera itself is the extension module ``QuorvanDepthCamera``; this package
adds what is written in Python on top of it:

- :mod:`quorvan.messages`: ROS 2 message definitions (``sensor_msgs/msg/Image``,
  ``sensor_msgs/msg/CameraInfo``) and their CDR encoding, with the topic names
  every tool of this package uses;
- :mod:`quorvan.record`: ``Recorder``, which writes a camera's frames into an
  MCAP file that ROS 2 tools open;
- :mod:`quorvan.replay`: ``PlaybackCamera``, which plays such a file back
  through the camera's own processing code.
"""

__all__ = ["messages"]
