"""Opens and starts the camera the command-line tools serve."""

from __future__ import annotations

import argparse

import QuorvanDepthCamera as qdc

from ..kit_configs import resolve_config

__all__ = ["CameraSetupError", "open_camera", "tcp_port"]


class CameraSetupError(RuntimeError):
    """The camera could not be opened, configured or started; the message says which."""


def open_camera(
    config: str | None, raw: bool = False, mode: int | None = None
) -> qdc.QuorvanCamera:
    """The emulated kit (or ``config``'s kit) opened and started.

    ``config`` is a file path or the name of a shipped configuration
    (``vga640_single``); ``mode`` sets ``MODE`` before the start (1: the
    640x480 sensor's two frequencies). Raises :class:`CameraSetupError`
    (a ``ConfigNotFound`` for an unknown configuration name) with a one-line
    reason, the camera closed again.
    """
    path = resolve_config(config) if config else None
    camera = qdc.QuorvanCamera()
    status = camera.openWithFile(path) if path else camera.open(qdc.TOFConnect.USB)
    if status != qdc.TOFErrorCode.QuorvanSuccess:
        raise CameraSetupError(
            f"cannot open the camera{' ' + config if config else ''}: {status.name}"
        )
    if (
        mode is not None
        and camera.setControl(qdc.TOFControl.MODE, mode) != qdc.TOFErrorCode.QuorvanSuccess
    ):
        camera.close()
        raise CameraSetupError(f"the camera refuses MODE {mode}")
    status = camera.start(qdc.TOFOutput.RAW if raw else qdc.TOFOutput.DEPTH)
    if status != qdc.TOFErrorCode.QuorvanSuccess:
        camera.close()
        raise CameraSetupError(f"cannot start the camera: {status.name}")
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
