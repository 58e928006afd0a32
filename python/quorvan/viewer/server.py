"""The viewer's HTTP server: one page, the newest frame as PNGs, status and controls.

    GET  /                  the page
    GET  /depth.png         newest depth, colour-mapped from 0 to the range in force
    GET  /amplitude.png     newest amplitude
    GET  /colourbar.png     the depth colour map
    GET  /status            JSON: frames, fps, dropped, sequence, range_mm, controls
    POST /control           JSON {"control": "RANGE" | "FRAME_RATE", "value": N}
"""

from __future__ import annotations

import json
import pathlib
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Dict, Optional, Tuple

import QuorvanDepthCamera as qdc

from ..live.camera_reader import CameraReader, FrameSnapshot, NewestFrameSlot
from . import pictures

PAGE = pathlib.Path(__file__).with_name("index.html")
SHOWN_CONTROLS = ("RANGE", "FRAME_RATE")
_FPS_WINDOW_S = 2.0


class FrameStore:
    """The newest frame's pictures, rendered once however many tabs ask for them."""

    def __init__(self, camera: Any) -> None:
        self._camera = camera
        self._slot = NewestFrameSlot()
        self._reader = CameraReader(camera, self._slot.put)
        self._lock = threading.Lock()  # guards _pictures, _sequence and _arrivals
        self._pictures: Dict[str, bytes] = {}
        self._sequence: Optional[int] = None
        self._arrivals: list = []
        self.frames_shown = 0
        self._stopping = threading.Event()
        self._renderer = threading.Thread(target=self._render_loop, name="quorvan-viewer",
                                          daemon=True)
        self.camera_lock = threading.Lock()  # serialises control calls from request threads
        self._reader.start()
        self._renderer.start()

    def range_mm(self) -> int:
        with self.camera_lock:
            value = int(self._camera.getControl(qdc.TOFControl.RANGE))
        return value if value > 0 else 4000

    def _render_loop(self) -> None:
        while not self._stopping.is_set():
            snapshot = self._slot.take(0.1)
            if snapshot is None or snapshot.depth is None:
                continue
            self._render(snapshot)

    def _render(self, snapshot: FrameSnapshot) -> None:
        assert snapshot.depth is not None and snapshot.amplitude is not None
        rendered = {"depth.png": pictures.depth_png(snapshot.depth, self.range_mm()),
                    "amplitude.png": pictures.amplitude_png(snapshot.amplitude)}
        now = time.monotonic()
        with self._lock:
            self._pictures = rendered
            self._sequence = snapshot.sequence
            self._arrivals = [t for t in self._arrivals if now - t < _FPS_WINDOW_S] + [now]
            self.frames_shown += 1

    def picture(self, name: str) -> Optional[bytes]:
        with self._lock:
            return self._pictures.get(name)

    def status(self) -> Dict[str, Any]:
        with self.camera_lock:
            controls = {name: int(self._camera.getControl(getattr(qdc.TOFControl, name)))
                        for name in SHOWN_CONTROLS}
        now = time.monotonic()
        with self._lock:
            recent = [t for t in self._arrivals if now - t < _FPS_WINDOW_S]
            fps = (len(recent) - 1) / (recent[-1] - recent[0]) if len(recent) > 1 else 0.0
            return {"frames": self.frames_shown, "fps": fps, "dropped": self._slot.frames_dropped,
                    "sequence": self._sequence, "controls": controls,
                    "range_mm": controls["RANGE"] if controls["RANGE"] > 0 else 4000}

    def set_control(self, name: str, value: int) -> str:
        if name not in SHOWN_CONTROLS:
            raise ValueError(f"the page sets only {', '.join(SHOWN_CONTROLS)}")
        with self.camera_lock:
            return str(self._camera.setControl(getattr(qdc.TOFControl, name), value).name)

    def close(self) -> None:
        self._reader.stop()
        self._stopping.set()
        self._slot.close()
        self._renderer.join()


class _Handler(BaseHTTPRequestHandler):
    store: FrameStore  # set on the subclass made per server

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - base signature
        pass  # one line per picture request would drown the console

    def _reply(self, code: int, body: bytes, content_type: str) -> None:
        try:
            self.send_response(code)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the tab was closed mid-answer; nothing to clean up

    def _json(self, code: int, value: Dict[str, Any]) -> None:
        self._reply(code, json.dumps(value).encode(), "application/json")

    def do_GET(self) -> None:  # noqa: N802 - the handler's fixed name
        path = self.path.split("?", 1)[0]
        if path in ("/", "/index.html"):
            self._reply(200, PAGE.read_bytes(), "text/html; charset=utf-8")
        elif path == "/status":
            self._json(200, self.store.status())
        elif path == "/colourbar.png":
            self._reply(200, pictures.colour_bar_png(), "image/png")
        elif path in ("/depth.png", "/amplitude.png"):
            body = self.store.picture(path[1:])
            if body is None:
                self._json(503, {"error": "no frame yet"})
            else:
                self._reply(200, body, "image/png")
        else:
            self._json(404, {"error": "not found"})

    def do_POST(self) -> None:  # noqa: N802
        if self.path != "/control":
            self._json(404, {"error": "not found"})
            return
        try:
            length = int(self.headers.get("Content-Length", "0"))
            request = json.loads(self.rfile.read(min(length, 4096)) or b"{}")
            status = self.store.set_control(str(request["control"]), int(request["value"]))
        except (ValueError, KeyError, TypeError) as error:
            self._json(400, {"error": str(error)})
            return
        self._json(200, {"status": status})


class ViewerServer:
    """Serves ``camera`` (opened and started by the caller) on http://127.0.0.1:``port``."""

    def __init__(self, camera: Any, port: int = 8080) -> None:
        self.store = FrameStore(camera)
        handler = type("ViewerHandler", (_Handler,), {"store": self.store})
        self._http = ThreadingHTTPServer(("127.0.0.1", port), handler)
        self._http.daemon_threads = True
        self._thread = threading.Thread(target=self._http.serve_forever, daemon=True)
        self._thread.start()

    @property
    def address(self) -> Tuple[str, int]:
        return self._http.server_address[:2]  # type: ignore[return-value]

    @property
    def url(self) -> str:
        host, port = self.address
        return f"http://{host}:{port}/"

    def close(self) -> None:
        self._http.shutdown()
        self._http.server_close()
        self.store.close()

    def __enter__(self) -> "ViewerServer":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
