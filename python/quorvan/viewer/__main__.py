"""python -m quorvan.viewer [--config KIT_CFG] [--port PORT]: the camera in a browser page."""

from __future__ import annotations

import argparse
import signal
import sys
import threading

from ..kit_configs import CONFIG_HELP, ConfigNotFound
from ..live.camera_setup import CameraSetupError, open_camera, tcp_port
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
    try:
        camera = open_camera(args.config, mode=args.mode)
    except (CameraSetupError, ConfigNotFound) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    try:
        viewer = ViewerServer(camera, args.port)
    except (OSError, ValueError) as error:
        print(f"error: cannot serve on 127.0.0.1:{args.port}: {error}", file=sys.stderr)
        camera.stop()
        camera.close()
        return 1
    print(f"Viewer: open {viewer.url} (Ctrl-C stops)", flush=True)
    try:
        # SIGTERM (a service manager, kill) closes as Ctrl-C does; a process
        # started in the background by a shell ignores SIGINT.
        stop = threading.Event()
        signal.signal(signal.SIGTERM, lambda *_: stop.set())
        # A line every few seconds says that frames still flow.
        while not stop.wait(_PROGRESS_INTERVAL_S):
            status = viewer.store.status()
            print(
                f"shown {status['frames']}  {status['fps']:.1f} fps  dropped {status['dropped']}",
                flush=True,
            )
    except KeyboardInterrupt:
        pass
    finally:
        viewer.close()
        camera.stop()
        camera.close()
    return 0


__all__ = [
    "main",
]


if __name__ == "__main__":
    raise SystemExit(main())
