"""The viewer's HTTP server: one page, the newest frame as PNGs, status and controls.

    GET  /                  the page
    GET  /depth.png         newest depth, colour-mapped from 0 to the range in force
    GET  /amplitude.png     newest amplitude
    GET  /colourbar.png     the depth colour map
    GET  /status            JSON: frames, fps, dropped, sequence, range_mm, controls, settable
    POST /control           JSON {"control": "RANGE" | "FRAME_RATE", "value": N}

Only the controls this camera accepts are offered (``settable``): each shown
control is written back with its current value once at the start, and one
the camera refuses (``FRAME_RATE`` on the evaluation kit, ``RANGE`` on the
640x480 sensor, whose range follows ``MODE``) is neither shown as settable
nor accepted. What a request must look like: :mod:`.request_checks`.
"""

from __future__ import annotations

import json
import logging
import pathlib
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable, cast

import QuorvanDepthCamera as qdc

from .. import closing
from ..camera_like import CameraLike, ControllableCamera
from ..stream import FrameSnapshot, FrameStream
from . import pictures
from .pictures import DEFAULT_RANGE_MM
from .request_checks import (
    RequestRefused,
    allowed_hosts,
    check_host,
    check_same_origin,
    parse_control,
    read_body,
)

_log = logging.getLogger(__name__)

PAGE = pathlib.Path(__file__).with_name("index.html")
SHOWN_CONTROLS = ("RANGE", "FRAME_RATE")
_FPS_WINDOW_S = 2.0
# A client that stops sending mid-request is dropped after this long.
_REQUEST_TIMEOUT_S = 10.0


class FrameStore:
    """The newest frame's pictures, rendered once however many tabs ask for them.

    A sink of :class:`quorvan.stream.FrameStream`: ``consume`` renders a frame
    on the core's thread for this sink, and the stream keeps only the newest
    frame waiting for it, so rendering never holds up the camera.
    """

    name = "viewer"

    def __init__(self, camera: CameraLike) -> None:
        self._camera = camera
        self._lock = threading.Lock()  # guards _pictures, _sequence and _arrivals
        self._pictures: dict[str, bytes] = {}
        self._sequence: int | None = None
        self._arrivals: list[float] = []
        self.frames_shown = 0
        # The stream that feeds the store tells how many frames it dropped for it.
        self.dropped_frames: Callable[[], int] = lambda: 0
        self.camera_lock = threading.Lock()  # serialises control calls from request threads
        self.settable = self._settable_controls()

    def _settable_controls(self) -> list[str]:
        # Writing a control's own value back changes nothing and tells whether
        # the camera accepts the control at all.
        set_control = getattr(self._camera, "setControl", None)
        if set_control is None:
            return []  # a playback camera: its controls are the recording's
        settable = []
        for name in SHOWN_CONTROLS:
            control = getattr(qdc.TOFControl, name)
            if (
                set_control(control, int(self._camera.getControl(control)))
                == qdc.TOFErrorCode.QuorvanSuccess
            ):
                settable.append(name)
        return settable

    def range_mm(self) -> int:
        with self.camera_lock:
            value = int(self._camera.getControl(qdc.TOFControl.RANGE))
        return value if value > 0 else DEFAULT_RANGE_MM

    def consume(self, snapshot: FrameSnapshot) -> None:
        if snapshot.depth is not None:
            self._render(snapshot)

    def _render(self, snapshot: FrameSnapshot) -> None:
        assert snapshot.depth is not None and snapshot.amplitude is not None
        rendered = {
            "depth.png": pictures.depth_png(snapshot.depth, self.range_mm()),
            "amplitude.png": pictures.amplitude_png(snapshot.amplitude),
        }
        now = time.monotonic()
        with self._lock:
            self._pictures = rendered
            self._sequence = snapshot.sequence
            self._arrivals = [t for t in self._arrivals if now - t < _FPS_WINDOW_S] + [now]
            self.frames_shown += 1

    def picture(self, name: str) -> bytes | None:
        with self._lock:
            return self._pictures.get(name)

    def status(self) -> dict[str, Any]:
        with self.camera_lock:
            # A control that cannot be set is not shown either: the evaluation
            # kit reports no frame rate of its own, and a number the page could
            # neither change nor trust would only mislead.
            controls = {
                name: int(self._camera.getControl(getattr(qdc.TOFControl, name)))
                for name in SHOWN_CONTROLS
                if name == "RANGE" or name in self.settable
            }
        now = time.monotonic()
        with self._lock:
            recent = [t for t in self._arrivals if now - t < _FPS_WINDOW_S]
            fps = (len(recent) - 1) / (recent[-1] - recent[0]) if len(recent) > 1 else 0.0
            return {
                "frames": self.frames_shown,
                "fps": fps,
                "dropped": self.dropped_frames(),
                "sequence": self._sequence,
                "controls": controls,
                "settable": self.settable,
                "range_mm": controls["RANGE"] if controls["RANGE"] > 0 else DEFAULT_RANGE_MM,
            }

    def set_control(self, name: str, value: int) -> str:
        if name not in self.settable:
            raise RequestRefused(
                400, f"the page sets only {', '.join(self.settable) or 'nothing'} on this camera"
            )
        with self.camera_lock:
            # Only a camera that accepted setControl above has settable controls.
            camera = cast(ControllableCamera, self._camera)
            return str(camera.setControl(getattr(qdc.TOFControl, name), value).name)

    def close(self) -> None:
        """Nothing to release: the pictures go with the store."""


class _Handler(BaseHTTPRequestHandler):
    store: FrameStore  # set on the subclass made per server
    hosts: frozenset[str]  # likewise: the Host values of the viewer's own address
    timeout = _REQUEST_TIMEOUT_S

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - base signature
        pass  # one line per picture request would drown the console

    def _reply(self, code: int, body: bytes, content_type: str) -> None:
        try:
            self.send_response(code)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            self.send_header("X-Content-Type-Options", "nosniff")
            self.end_headers()
            self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the tab was closed mid-answer; nothing to clean up

    def _json(self, code: int, value: dict[str, Any]) -> None:
        self._reply(code, json.dumps(value).encode(), "application/json")

    def do_GET(self) -> None:  # noqa: N802 - the handler's fixed name
        try:
            check_host(self.headers, self.hosts)
        except RequestRefused as refused:
            self._json(refused.code, {"error": refused.reason})
            return
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
        try:
            host = check_host(self.headers, self.hosts)
            if self.path != "/control":
                raise RequestRefused(404, "not found")
            check_same_origin(self.headers, host)
            control, value = parse_control(read_body(self.headers, self.rfile))
            status = self.store.set_control(control, value)
        except RequestRefused as refused:
            self.close_connection = True  # what is left of the body is not read
            self._json(refused.code, {"error": refused.reason})
            return
        except OSError as error:  # the client stalled past the timeout or went away
            _log.debug("control request abandoned: %s", error)
            self.close_connection = True
            return
        self._json(200, {"status": status})


class ViewerServer:
    """Serves ``camera`` (opened and started by the caller) on http://127.0.0.1:``port``."""

    def __init__(self, camera: CameraLike, port: int = 8080) -> None:
        if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port <= 65535:
            raise ValueError(f"port {port!r} is not a TCP port (0 to 65535; 0 picks a free one)")
        self._http = ThreadingHTTPServer(("127.0.0.1", port), _Handler)
        self._http.daemon_threads = True
        try:
            self.store = FrameStore(camera)
            self._stream = FrameStream(camera, [self.store], queue_frames=1)
        except BaseException:
            self._http.server_close()
            raise
        stream = self._stream
        self.store.dropped_frames = lambda: stream.statistics()[0].dropped
        host, bound_port = self._http.server_address[:2]
        self._http.RequestHandlerClass = type(
            "ViewerHandler",
            (_Handler,),
            {"store": self.store, "hosts": allowed_hosts(str(host), int(bound_port))},
        )
        self._thread = threading.Thread(target=self._http.serve_forever, daemon=True)
        self._thread.start()
        self._closed = False
        self._exit_registration = closing.close_at_exit(self)

    @property
    def address(self) -> tuple[str, int]:
        return self._http.server_address[:2]  # type: ignore[return-value]

    @property
    def url(self) -> str:
        host, port = self.address
        return f"http://{host}:{port}/"

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        closing.forget(self._exit_registration)
        self._http.shutdown()
        self._http.server_close()
        self._stream.close()

    def __enter__(self) -> ViewerServer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


__all__ = [
    "FrameStore",
    "PAGE",
    "SHOWN_CONTROLS",
    "ViewerServer",
]
