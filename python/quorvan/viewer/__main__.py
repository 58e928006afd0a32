"""python -m quorvan.viewer [--config KIT_CFG] [--port PORT]: the camera in a browser page."""

from __future__ import annotations

import argparse

import QuorvanDepthCamera as qdc

from ..kit_configs import CONFIG_HELP
from ..live.camera_setup import CameraSetupError, serve_camera, tcp_port
from .server import ViewerServer

_PROGRESS_INTERVAL_S = 5.0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quorvan.viewer", description=__doc__)
    parser.add_argument("--config", help=CONFIG_HELP)
    parser.add_argument(
        "--port", type=tcp_port, default=8080, help="port on 127.0.0.1 (default 8080)"
    )
    parser.add_argument("--mode", type=int, help="MODE before start")
    args = parser.parse_args(argv)

    def start_server(camera: qdc.QuorvanCamera) -> ViewerServer:
        try:
            return ViewerServer(camera, args.port)
        except (OSError, ValueError) as error:
            raise CameraSetupError(f"cannot serve on 127.0.0.1:{args.port}: {error}") from error

    def progress(viewer: ViewerServer) -> str:
        status = viewer.store.status()
        return f"shown {status['frames']}  {status['fps']:.1f} fps  dropped {status['dropped']}"

    return serve_camera(
        args.config,
        args.mode,
        start_server,
        banner=lambda viewer: f"Viewer: open {viewer.url} (Ctrl-C stops)",
        progress=progress,
        progress_interval_s=_PROGRESS_INTERVAL_S,
    )


__all__ = [
    "main",
]


if __name__ == "__main__":
    raise SystemExit(main())
