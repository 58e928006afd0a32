"""A local web page showing a camera live.

quorvan-viewer [--config KIT_CFG] [--port PORT]    (or python -m quorvan.viewer)
"""

from .server import ViewerServer

__all__ = ["ViewerServer"]
