"""A local web page showing a camera live: ``python -m quorvan.viewer [--config KIT_CFG] [--port PORT]``."""

from .server import ViewerServer

__all__ = ["ViewerServer"]
