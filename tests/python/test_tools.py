"""The installed command-line tools, run as a user runs them: recordings that
replay, the camera list, configurations named by their shipped name, one clear
line for a bad name, and the long-running ones showing progress.

Each tool runs from the environment's bin directory when the package is
installed there (scripts/python_tests.sh), else as ``python -m`` of the module
its console script calls (a source tree on PYTHONPATH)."""

import contextlib
import json
import os
import pathlib
import re
import signal
import socket
import struct
import subprocess
import sys
import time
import urllib.request

import numpy as np
import pytest
from mcap.reader import make_reader

import QuorvanDepthCamera as qdc
import quorvan
from quorvan.depth_picture import depth_picture
from quorvan.kit_configs import ConfigNotFound, resolve_config
from quorvan.viewer.pictures import turbo

from conftest import KIT_CONFIGS

MODULES = {
    "quorvan-record": ["quorvan.tools.record"],
    "quorvan-replay": ["quorvan.tools.replay"],
    "quorvan-list": ["quorvan.tools.list_cameras"],
    "quorvan-publish": ["quorvan.live", "publish"],
    "quorvan-viewer": ["quorvan.viewer"],
}


def command(tool, *args):
    script = pathlib.Path(sys.executable).parent / tool
    if script.exists():
        return [str(script), *args]
    return [sys.executable, "-m", *MODULES[tool], *args]


def run(tool, *args, cwd, timeout=120):
    result = subprocess.run(command(tool, *args), cwd=cwd, capture_output=True, text=True,
                            timeout=timeout)
    assert "Traceback" not in result.stderr, result.stderr
    return result


@contextlib.contextmanager
def running(tool, *args, cwd):
    """A long-running tool in its own process group, stopped (SIGTERM) and reaped on the
    way out; ``process.returncode`` is then what its shutdown returned."""
    process = subprocess.Popen(command(tool, *args), cwd=cwd, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        yield process
    finally:
        # SIGTERM, not SIGINT: a test run started in the background ignores
        # SIGINT, and so would the tool.
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGTERM)
        try:
            process.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.communicate()


def first_line_matching(process, pattern, timeout_s=60):
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        line = process.stdout.readline()
        if not line:
            break
        match = re.search(pattern, line)
        if match:
            return match
    pytest.fail(f"no line matching {pattern!r}; exit code {process.poll()}")


def metadata(path):
    with open(path, "rb") as stream:
        reader = make_reader(stream)
        found = {record.name: dict(record.metadata) for record in reader.iter_metadata()}
        stream.seek(0)
        attachments = [attachment.name for attachment in make_reader(stream).iter_attachments()]
    return found, attachments


def png_size(path):
    data = pathlib.Path(path).read_bytes()
    assert data.startswith(b"\x89PNG\r\n\x1a\n")
    return struct.unpack(">II", data[16:24])


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def test_a_recording_by_seconds_replays_into_pictures_with_a_scale(tmp_path):
    recording = tmp_path / "kit.mcap"
    recorded = run("quorvan-record", "--output", str(recording), "--seconds", "1",
                   "--config", "noise_free", cwd=tmp_path)
    assert recorded.returncode == 0, recorded.stderr
    written = int(re.search(r"(\d+) written, 0 dropped", recorded.stdout).group(1))
    assert written > 0
    # Progress by time when only --seconds bounds the recording.
    assert re.search(r"1\.0/1\.0 s, \d+ frames", recorded.stderr), recorded.stderr
    found, attachments = metadata(recording)
    assert found["quorvan.sdk"]["QuorvanDepthCamera"] == quorvan.__version__ != qdc.__version__
    assert attachments == ["noise_free.cfg"]

    replayed = run("quorvan-replay", str(recording), "--fast", "--output", "pictures",
                   cwd=tmp_path)
    assert replayed.returncode == 0, replayed.stderr
    assert f"played {written} frames" in replayed.stdout
    assert f"{written}/{written} frames" in replayed.stderr
    width, height = png_size(tmp_path / "pictures" / "depth.png")
    assert width == 240 * 3 and height > 180 * 3  # the picture, then its scale
    assert png_size(tmp_path / "pictures" / "amplitude.png") == (240 * 3, 180 * 3)


def test_a_shipped_configuration_by_name_and_a_bad_name(tmp_path):
    recording = tmp_path / "vga.mcap"
    recorded = run("quorvan-record", "--output", str(recording), "--frames", "2",
                   "--config", "vga640_single", cwd=tmp_path)
    assert recorded.returncode == 0, recorded.stderr
    found, attachments = metadata(recording)
    assert found["quorvan.camera"]["width"] == "640" and attachments == ["vga640_single.cfg"]

    for tool in ("quorvan-record", "quorvan-viewer"):
        extra = ("--output", str(tmp_path / "unused.mcap")) if tool == "quorvan-record" else ()
        refused = run(tool, *extra, "--config", "vga640_singel", cwd=tmp_path)
        lines = [line for line in refused.stderr.splitlines() if line.strip()]
        assert refused.returncode == 1 and len(lines) == 1, refused.stderr
        assert lines[0].startswith("error: no kit configuration named 'vga640_singel'")
        assert "vga640_single" in lines[0]  # the names there are
    assert not (tmp_path / "unused.mcap").exists()


def test_configuration_names_and_paths_resolve(tmp_path, monkeypatch):
    shipped = pathlib.Path(resolve_config("vga640_single"))
    assert shipped.read_bytes() == (KIT_CONFIGS / "vga640_single.cfg").read_bytes()
    assert resolve_config("vga640_single.cfg") == str(shipped)
    own = tmp_path / "vga640_single"  # a file in the working directory wins over the name
    own.write_text("width=640\n")
    monkeypatch.chdir(tmp_path)
    assert resolve_config("vga640_single") == "vga640_single"
    # A path is the camera's to open or refuse, whether it exists or not.
    assert resolve_config("/nonexistent/kit.cfg") == "/nonexistent/kit.cfg"
    with pytest.raises(ConfigNotFound):
        resolve_config("nonexistent")


def test_the_list_shows_the_emulated_kit(tmp_path):
    listed = run("quorvan-list", cwd=tmp_path)
    assert listed.returncode == 0, listed.stderr
    assert "USB 0: HQVGA, 240x180  serial QVK000001" in listed.stdout.splitlines()
    names = run("quorvan-list", "--configs", cwd=tmp_path)
    assert names.returncode == 0 and "  vga640_single" in names.stdout.splitlines()


def test_the_viewer_serves_a_named_configuration(tmp_path):
    with running("quorvan-viewer", "--config", "vga640_single", "--port", "0",
                 cwd=tmp_path) as viewer:
        url = first_line_matching(viewer, r"open (http://\S+)").group(1)
        deadline = time.monotonic() + 30
        status = {}
        while time.monotonic() < deadline and not status.get("frames"):
            with urllib.request.urlopen(url + "status", timeout=10) as reply:
                status = json.load(reply)
            time.sleep(0.1)
        assert status.get("frames"), status
        with urllib.request.urlopen(url + "depth.png", timeout=10) as reply:
            picture = reply.read()
        assert struct.unpack(">II", picture[16:24]) == (640, 480)
        progress = first_line_matching(viewer, r"shown (\d+)  [\d.]+ fps", timeout_s=30)
        assert int(progress.group(1)) > 0
    assert viewer.returncode == 0  # closed in order on SIGTERM, not killed by it


def test_the_publisher_sends_frames_and_reports_progress(tmp_path):
    live = pytest.importorskip("quorvan.live")
    endpoint = f"tcp/127.0.0.1:{free_port()}"
    with running("quorvan-publish", "--name", "toolkit", "--listen", endpoint,
                 cwd=tmp_path) as publisher:
        first_line_matching(publisher, r"publishing node /toolkit/quorvan_camera")
        with live.Subscriber("toolkit", connect=[endpoint]) as subscriber:
            frame = subscriber.receive(20000)
            assert frame is not None and frame.depth.shape == (180, 240)
        counts = first_line_matching(publisher, r"read (\d+)  sent (\d+)", timeout_s=30)
        assert int(counts.group(2)) > 0
    assert publisher.returncode == 0


@pytest.mark.parametrize("width", [240, 8])  # a sensor's; narrower than one label
def test_the_depth_picture_carries_its_scale(width):
    depth = np.full((4, width), 1000.0, np.float32)
    picture = depth_picture(depth, depth > 0, 2000)
    assert picture.shape[1] == width * 3 and picture.shape[0] > 4 * 3
    np.testing.assert_array_equal(picture[0, 0], turbo(np.array(0.5)))
    below = picture[4 * 3:]
    bar = below[[row for row in range(below.shape[0]) if below[row, 0].any()][0]]
    np.testing.assert_array_equal(bar[0], turbo(np.array(0.0)))
    np.testing.assert_array_equal(bar[-1], turbo(np.array(1.0)))
    rows_with_white = (below == 255).all(axis=-1).any(axis=1).sum()
    # The 4 rows of the ticks always; the label text under them where it fits.
    if width < 20:
        assert rows_with_white == 4
    else:
        assert rows_with_white > 4


def test_several_cameras_record_into_one_file_under_their_serials(tmp_path):
    kits = tmp_path / "kits.cfg"
    kits.write_text("frame_rate = 30\nnoise = off\nkit.0.serial = TOOL-A\nkit.1.serial = TOOL-B\n")
    recording = tmp_path / "rig.mcap"
    recorded = run("quorvan-record", "--output", str(recording), "--frames", "3", "--config",
                   str(kits), "--all-cameras", "--namespace", "/rig", cwd=tmp_path)
    assert recorded.returncode == 0, recorded.stderr
    assert re.search(r"6 written, 0 dropped", recorded.stdout), recorded.stdout
    with open(recording, "rb") as stream:
        reader = make_reader(stream)
        topics = {channel.topic for channel in reader.get_summary().channels.values()}
        cameras = [dict(record.metadata) for record in reader.iter_metadata()
                   if record.name == "quorvan.camera"]
    assert topics == {f"/rig/{serial}/{topic}" for serial in ("tool_a", "tool_b")
                      for topic in ("raw/image_raw", "depth/camera_info")}
    assert sorted(camera["quorvan.namespace"] for camera in cameras) == ["/rig/tool_a",
                                                                        "/rig/tool_b"]
    refused = run("quorvan-record", "--output", str(tmp_path / "none.mcap"), "--config",
                  str(kits), "--serial", "TOOL-A", "--serial", "TOOL-X", cwd=tmp_path)
    assert refused.returncode == 1
    # The library's log names the serials there are; the tool's last line what failed.
    assert "(attached: TOOL-A, TOOL-B)" in refused.stderr, refused.stderr
    assert refused.stderr.strip().splitlines()[-1].startswith("cannot open the camera TOOL-X")
    assert not (tmp_path / "none.mcap").exists()
