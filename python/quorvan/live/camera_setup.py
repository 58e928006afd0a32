"""Opens and starts the camera the command-line tools serve."""

from __future__ import annotations

import argparse
import signal
import sys
import threading
from collections.abc import Callable
from typing import Protocol, TypeVar

import QuorvanDepthCamera as qdc

from ..argument_types import whole_number
from ..kit_configs import ConfigNotFound, resolve_config

__all__ = ["CameraSetupError", "open_camera", "open_cameras", "serve_camera", "tcp_port"]


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
    _configure_and_start(camera, raw, mode)
    return camera


def open_cameras(
    config: str | None, serials: list[str] | None, raw: bool = False, mode: int | None = None
) -> list[qdc.QuorvanCamera]:
    """The cameras of these serial numbers (every attached one when ``serials``
    is None), opened and started, in that order.

    ``config`` names the kit configuration that describes the kits. Raises
    :class:`CameraSetupError` with a one-line reason, every camera closed again.
    """
    path = resolve_config(config) if config else None
    if serials is None:
        serials = [found.serial for found in qdc.QuorvanCamera.listCameras(path)]
        if not serials:
            raise CameraSetupError("no camera is attached")
    if len(set(serials)) != len(serials):
        raise CameraSetupError("a serial number is given twice")
    cameras: list[qdc.QuorvanCamera] = []
    try:
        for serial in serials:
            camera = qdc.QuorvanCamera()
            status = camera.openBySerial(serial, path)
            if status != qdc.TOFErrorCode.QuorvanSuccess:
                raise CameraSetupError(f"cannot open the camera {serial}: {status.name}")
            cameras.append(camera)
            _configure_and_start(camera, raw, mode)
    except BaseException:
        for camera in cameras:
            camera.stop()
            camera.close()
        raise
    return cameras


def _configure_and_start(camera: qdc.QuorvanCamera, raw: bool, mode: int | None) -> None:
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


def tcp_port(text: str) -> int:
    """An argparse type: a TCP port number, 0 (any free port) to 65535."""
    port = whole_number(text, "a port number")
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"{port} is not a TCP port (0 to 65535)")
    return port


class _Server(Protocol):
    def close(self) -> None: ...


_S = TypeVar("_S", bound=_Server)


def serve_camera(
    config: str | None,
    mode: int | None,
    start_server: Callable[[qdc.QuorvanCamera], _S],
    banner: Callable[[_S], str],
    progress: Callable[[_S], str],
    progress_interval_s: float = 5.0,
) -> int:
    """The body of a serving tool's ``main``: opens the camera, serves it with
    ``start_server(camera)`` until Ctrl-C or SIGTERM and closes both.

    ``start_server`` raises :class:`CameraSetupError` with a one-line reason
    when it cannot serve (the port is taken, a name is refused). ``banner``
    is printed once the server runs, ``progress`` every few seconds after.
    Returns the exit status: 0 after a clean stop, 1 when nothing could be
    served (the reason on stderr).
    """
    try:
        camera = open_camera(config, mode=mode)
    except (CameraSetupError, ConfigNotFound) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    try:
        server = start_server(camera)
    except CameraSetupError as error:
        print(f"error: {error}", file=sys.stderr)
        camera.stop()
        camera.close()
        return 1
    print(banner(server), flush=True)
    try:
        # SIGTERM (a service manager, kill) closes as Ctrl-C does; a process
        # started in the background by a shell ignores SIGINT.
        stop = threading.Event()
        signal.signal(signal.SIGTERM, lambda *_: stop.set())
        # A line every few seconds says that frames still flow.
        while not stop.wait(progress_interval_s):
            print(progress(server), flush=True)
    except KeyboardInterrupt:
        pass
    finally:
        server.close()
        camera.stop()
        camera.close()
    return 0
