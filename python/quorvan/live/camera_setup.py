"""Opens and starts the camera the command-line tools serve."""

from __future__ import annotations

import argparse
import sys
from typing import Any, Optional

import QuorvanDepthCamera as qdc


def open_camera(config: Optional[str], raw: bool = False,
                mode: Optional[int] = None) -> Optional[Any]:
    """The emulated kit (or ``config``'s kit) opened and started; None after printing why not.

    ``mode`` sets ``MODE`` before the start (1: the 640x480 sensor's two frequencies).
    """
    camera = qdc.QuorvanCamera()
    status = (camera.openWithFile(config) if config else camera.open(qdc.TOFConnect.USB))
    if status != qdc.TOFErrorCode.QuorvanSuccess:
        print(f"error: cannot open the camera{' ' + config if config else ''}: {status.name}",
              file=sys.stderr)
        return None
    if mode is not None and camera.setControl(qdc.TOFControl.MODE, mode) \
            != qdc.TOFErrorCode.QuorvanSuccess:
        print(f"error: the camera refuses MODE {mode}", file=sys.stderr)
        camera.close()
        return None
    status = camera.start(qdc.TOFOutput.RAW if raw else qdc.TOFOutput.DEPTH)
    if status != qdc.TOFErrorCode.QuorvanSuccess:
        print(f"error: cannot start the camera: {status.name}", file=sys.stderr)
        camera.close()
        return None
    return camera


def tcp_port(text: str) -> int:
    """An argparse type: a TCP port number, 0 (any free port) to 65535."""
    try:
        port = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a port number") from None
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"{port} is not a TCP port (0 to 65535)")
    return port
