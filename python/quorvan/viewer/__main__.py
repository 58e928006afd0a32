"""python -m quorvan.viewer [--config KIT_CFG] [--port PORT]: the camera in a browser page."""

from __future__ import annotations

import argparse
import sys
import threading
from typing import List, Optional

from ..live.camera_setup import open_camera, tcp_port
from .server import ViewerServer


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quorvan.viewer", description=__doc__)
    parser.add_argument("--config", help="emulated kit configuration (default: the built-in kit)")
    parser.add_argument("--port", type=tcp_port, default=8080,
                        help="port on 127.0.0.1 (default 8080)")
    parser.add_argument("--mode", type=int, help="MODE before start")
    args = parser.parse_args(argv)
    camera = open_camera(args.config, mode=args.mode)
    if camera is None:
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
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        viewer.close()
        camera.stop()
        camera.close()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
