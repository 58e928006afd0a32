"""The viewer against other pages in the user's browser and against malformed
requests: only its own page changes anything, and nothing ends a handler badly."""

import asyncio
import contextlib
import http.client
import http.server
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

import pytest

import QuorvanDepthCamera as qdc
from conftest import kit_config

websockets = pytest.importorskip("websockets")

from quorvan.viewer import ViewerServer  # noqa: E402

BROWSER = shutil.which("chromium-headless-shell") or shutil.which("chromium")
OK = qdc.TOFErrorCode.QuorvanSuccess


@pytest.fixture
def kit_camera():
    camera = qdc.QuorvanCamera()
    assert camera.open(qdc.TOFConnect.USB) == OK
    assert camera.start(qdc.TOFOutput.DEPTH) == OK
    yield camera
    camera.stop()
    camera.close()


def post(address, body, headers=None, host=None):
    connection = http.client.HTTPConnection(*address, timeout=15)
    try:
        connection.putrequest("POST", "/control", skip_host=True)
        connection.putheader("Host", host or f"{address[0]}:{address[1]}")
        for name, value in (headers or {"Content-Type": "application/json"}).items():
            connection.putheader(name, value)
        data = body if isinstance(body, bytes) else json.dumps(body).encode()
        connection.putheader("Content-Length", str(len(data)))
        connection.endheaders(data)
        reply = connection.getresponse()
        return reply.status, reply.read()
    finally:
        connection.close()


def get(address, path, host=None):
    connection = http.client.HTTPConnection(*address, timeout=15)
    try:
        connection.putrequest("GET", path, skip_host=True)
        connection.putheader("Host", host or f"{address[0]}:{address[1]}")
        connection.endheaders()
        reply = connection.getresponse()
        return reply.status, reply.read()
    finally:
        connection.close()


def range_of(camera):
    return camera.getControl(qdc.TOFControl.RANGE)


@pytest.mark.parametrize("content_type", ["text/plain", "application/x-www-form-urlencoded",
                                          "multipart/form-data; boundary=x", None])
def test_changes_need_a_json_body_from_the_viewers_own_origin(kit_camera, content_type):
    with ViewerServer(kit_camera, port=0) as viewer:
        headers = {"Origin": "http://evil.example"}
        if content_type:
            headers["Content-Type"] = content_type
        status, _ = post(viewer.address, {"control": "RANGE", "value": 2000}, headers)
        assert status in (403, 415)
        status, _ = post(viewer.address, {"control": "RANGE", "value": 2000},
                         {"Content-Type": "application/json", "Origin": "http://evil.example"})
        assert status == 403
        assert range_of(kit_camera) == 4000
        own = f"http://127.0.0.1:{viewer.address[1]}"
        status, body = post(viewer.address, {"control": "RANGE", "value": 2000},
                            {"Content-Type": "application/json", "Origin": own})
        assert status == 200 and json.loads(body)["status"] == "QuorvanSuccess"
        assert range_of(kit_camera) == 2000


def test_a_rebound_host_name_gets_no_answer(kit_camera):
    with ViewerServer(kit_camera, port=0) as viewer:
        rebound = f"rebind.attacker.example:{viewer.address[1]}"
        for path in ("/", "/status", "/depth.png"):
            assert get(viewer.address, path, host=rebound)[0] == 403
        assert post(viewer.address, {"control": "RANGE", "value": 2000}, host=rebound)[0] == 403
        assert range_of(kit_camera) == 4000
        # The names of the viewer's own address are answered.
        assert get(viewer.address, "/status", host=f"localhost:{viewer.address[1]}")[0] == 200
        assert get(viewer.address, "/status")[0] == 200


@pytest.mark.parametrize("body", [
    b'{"control": "RANGE", "value": Infinity}', b'{"control": "RANGE", "value": NaN}',
    b'{"control": "RANGE", "value": 1e400}', b'{"control": "RANGE", "value": 2000.5}',
    b'{"control": "RANGE", "value": true}', b'{"control": "RANGE", "value": "2000"}',
    b'{"control": "RANGE", "value": 1099511627776}', b"[" * 4000, b"[1, 2]", b"\xff\xfe",
])
def test_malformed_control_values_are_answered_with_400(kit_camera, body):
    with ViewerServer(kit_camera, port=0) as viewer:
        status, reply = post(viewer.address, body)
        assert status == 400 and "error" in json.loads(reply)
        assert range_of(kit_camera) == 4000
        assert get(viewer.address, "/status")[0] == 200


@pytest.mark.parametrize("length", ["-1", "abc", "5000"])
def test_a_bad_content_length_is_refused_at_once(kit_camera, length):
    with ViewerServer(kit_camera, port=0) as viewer:
        with socket.create_connection(viewer.address, timeout=5) as client:
            client.sendall(f"POST /control HTTP/1.1\r\nHost: 127.0.0.1:{viewer.address[1]}\r\n"
                           f"Content-Type: application/json\r\nContent-Length: {length}\r\n"
                           "\r\n".encode())
            answer = client.recv(4096)  # a hang raises socket.timeout
        assert re.match(rb"HTTP/1\.[01] 41[13] ", answer), answer[:80]
        assert get(viewer.address, "/status")[0] == 200


def test_ranges_outside_the_devices_modes_do_not_show_up_on_the_page(kit_camera):
    with ViewerServer(kit_camera, port=0) as viewer:
        for value in (-1, 10**9, 3000):
            status, body = post(viewer.address, {"control": "RANGE", "value": value})
            assert status == 200 and json.loads(body)["status"] == "QuorvanInvalidParameter"
            shown = json.loads(get(viewer.address, "/status")[1])
            assert shown["controls"]["RANGE"] == shown["range_mm"] == 4000


def test_only_controls_the_camera_accepts_are_offered(kit_camera, tmp_path, monkeypatch):
    # The evaluation kit sets no frame rate: the page neither offers nor shows one.
    with ViewerServer(kit_camera, port=0) as viewer:
        shown = json.loads(get(viewer.address, "/status")[1])
        assert shown["settable"] == ["RANGE"] and "FRAME_RATE" not in shown["controls"]
        status, body = post(viewer.address, {"control": "FRAME_RATE", "value": 10})
        assert status == 400 and b"only RANGE" in body
    monkeypatch.chdir(tmp_path)  # the 640x480 device writes its processing files here
    vga = qdc.QuorvanCamera()
    assert vga.openWithFile(kit_config("vga640_double.cfg"), 0) == OK
    try:
        assert vga.start(qdc.TOFOutput.DEPTH) == OK
        # The 640x480 sensor's range follows MODE, and its kit sets no frame rate either.
        with ViewerServer(vga, port=0) as viewer:
            shown = json.loads(get(viewer.address, "/status")[1])
            assert shown["settable"] == [] and shown["controls"]["RANGE"] == 4500
            assert post(viewer.address, {"control": "RANGE", "value": 2000})[0] == 400
        vga.stop()
    finally:
        vga.close()


@pytest.mark.parametrize("port", [-1, 65536, 99999])
def test_a_port_outside_tcp_is_refused_with_value_error(kit_camera, port):
    with pytest.raises(ValueError, match="not a TCP port"):
        ViewerServer(kit_camera, port=port)


# -- from a real browser ---------------------------------------------------------

ATTACK_PAGE = """<!doctype html><html><body><script>
async function attack(viewer) {
  const body = JSON.stringify({control: 'RANGE', value: 2000});
  const results = {};
  try {
    const reply = await fetch(viewer + 'control', {method: 'POST', body: body,
        headers: {'Content-Type': 'application/json'}});
    results.json = 'answered ' + reply.status;
  } catch (error) { results.json = 'failed: ' + error; }
  // The kinds a browser sends to another origin without asking first.
  for (const type of ['text/plain', 'application/x-www-form-urlencoded']) {
    try {
      await fetch(viewer + 'control', {method: 'POST', mode: 'no-cors', body: body,
                                       headers: {'Content-Type': type}});
      results[type] = 'sent';
    } catch (error) { results[type] = 'failed: ' + error; }
  }
  return JSON.stringify(results);
}
</script></body></html>"""


@contextlib.contextmanager
def attack_site():
    """A second local web server: another origin than the viewer's."""
    class Page(http.server.BaseHTTPRequestHandler):
        def do_GET(self):  # noqa: N802
            body = ATTACK_PAGE.encode()
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}/"
    finally:
        server.shutdown()
        server.server_close()


@contextlib.contextmanager
def headless_browser():
    """Chromium in a process group of its own, killed as a whole whatever happens."""
    profile = tempfile.mkdtemp(prefix="quorvan-hostile-chromium-")
    process = subprocess.Popen(
        [BROWSER, "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-port=0",
         f"--user-data-dir={profile}", "about:blank"],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            match = re.search(r"(ws://\S+)", process.stderr.readline())
            if match:
                yield match.group(1)
                return
        raise AssertionError("Chromium did not open its DevTools port")
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGKILL)
        process.wait(30)
        process.stderr.close()
        shutil.rmtree(profile, ignore_errors=True)


class DevTools:
    def __init__(self, socket):
        self.socket = socket
        self.number = 0

    async def call(self, method, session=None, **params):
        self.number += 1
        message = {"id": self.number, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        await self.socket.send(json.dumps(message))
        while True:
            reply = json.loads(await asyncio.wait_for(self.socket.recv(), 30))
            if reply.get("id") == self.number:
                assert "error" not in reply, reply
                return reply["result"]

    async def open_tab(self, url):
        target = (await self.call("Target.createTarget", url=url))["targetId"]
        return (await self.call("Target.attachToTarget", targetId=target,
                                flatten=True))["sessionId"]

    async def evaluate(self, session, expression):
        result = await self.call("Runtime.evaluate", session, expression=expression,
                                 awaitPromise=True, returnByValue=True)
        return result["result"].get("value")

    async def wait_for(self, session, expression, seconds=20):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            value = await self.evaluate(session, expression)
            if value:
                return value
            await asyncio.sleep(0.1)
        raise AssertionError(f"{expression} stayed false")


@pytest.mark.skipif(BROWSER is None and not os.environ.get("CI"),
                    reason="no headless Chromium (scripts/test.sh installs it)")
def test_a_page_of_another_origin_cannot_change_the_camera_but_the_viewer_can(kit_camera):
    async def scenario(viewer_url, attacker_url):
        with headless_browser() as devtools_url:
            async with websockets.connect(devtools_url, max_size=None) as socket:
                browser = DevTools(socket)
                evil = await browser.open_tab(attacker_url)
                await browser.wait_for(evil, "typeof attack === 'function'")
                attacked = json.loads(await browser.evaluate(evil, f"attack('{viewer_url}')"))
                range_after_attack = range_of(kit_camera)
                own = await browser.open_tab(viewer_url)
                await browser.wait_for(own, "+document.getElementById('frames').textContent > 2")
                await browser.evaluate(own, "setControl('RANGE', 2000)")
                await browser.wait_for(own, "document.getElementById('range').textContent"
                                            " === '2000'")
                return attacked, range_after_attack

    with ViewerServer(kit_camera, port=0) as viewer, attack_site() as attacker_url:
        attacked, range_after_attack = asyncio.run(scenario(viewer.url, attacker_url))
    assert attacked["json"].startswith("failed"), attacked
    assert range_after_attack == 4000, attacked
    assert range_of(kit_camera) == 2000
