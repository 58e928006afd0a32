"""Several kits from Python: listing with serials, opening by serial, a kit
unplugged and plugged back under a streaming camera with auto-reconnect, and
quorvan-list over a bus of several kits."""

import ctypes
import os
import subprocess
import sys
import time

import pytest

import QuorvanDepthCamera as qdc

from conftest import DEADLINE_SCALE, use_kit_set

OK = qdc.TOFErrorCode.QuorvanSuccess
KITS = """\
frame_rate = 30
noise = off
kit.0.serial = PY-A
kit.1.serial = PY-B
kit.1.scene.wall_distance_mm = 2000
kit.2.serial = PY-C
kit.2.geometry = 640x2405
"""


@pytest.fixture
def kit_bus(tmp_path, monkeypatch):
    """Three kits on the emulated bus, reached by the empty path."""
    return use_kit_set(tmp_path, monkeypatch, KITS)


def _kit_library():
    """The kit library the module loaded (the emulator's test hook lives there)."""
    with open("/proc/self/maps") as maps:
        for line in maps:
            if "libquorvan_evk_sdk" in line:
                library = ctypes.CDLL(line.split()[-1])
                library.QuorvanEvkSetAttached.argtypes = [ctypes.c_char_p, ctypes.c_int]
                return library
    raise AssertionError("the kit library is not loaded")


def _wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds * DEADLINE_SCALE
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.005)
    return predicate()


def test_listing_shows_each_kit_and_opening_by_serial_picks_it(kit_bus):
    found = qdc.QuorvanCamera.listCameras()
    assert [(c.index, c.serial, c.width, c.height) for c in found] == [
        (0, "PY-A", 240, 180), (1, "PY-B", 240, 180), (2, "PY-C", 640, 2405)]
    assert all(c.connect == qdc.TOFConnect.USB and c.attached for c in found)
    other = kit_bus.parent / "one.cfg"
    other.write_text("serial = PY-OTHER\n")
    assert [c.serial for c in qdc.QuorvanCamera.listCameras(str(other))] == ["PY-OTHER"]

    camera = qdc.QuorvanCamera()
    assert camera.openBySerial("NOBODY") == qdc.TOFErrorCode.QuorvanUnkownDevice
    assert camera.openBySerial("") == qdc.TOFErrorCode.QuorvanInvalidParameter
    with pytest.raises(TypeError):
        camera.openBySerial(None)
    assert camera.openBySerial("PY-B") == OK
    assert camera.getSerial() == "PY-B"
    assert camera.getCameraInfo().index == 1
    camera.close()
    assert camera.open(qdc.TOFConnect.USB, 2) == OK
    assert camera.getSerial() == "PY-C"
    assert camera.getCameraInfo().width == 640
    camera.close()
    # Only attached kits answer an index.
    assert camera.open(qdc.TOFConnect.USB, 3) != OK


def test_auto_reconnect_resumes_the_stream_and_counts_the_gap(kit_bus):
    library = _kit_library()
    camera = qdc.QuorvanCamera()
    assert camera.setAutoReconnect(True) == qdc.TOFErrorCode.QuorvanUnkownError
    assert camera.openBySerial("PY-A") == OK
    assert camera.setAutoReconnect(True) == OK
    assert camera.start(qdc.TOFOutput.DEPTH) == OK
    wait_ms = int(2000 * DEADLINE_SCALE)
    held = camera.requestFrame(wait_ms)
    assert held is not None
    held_depth = held.getDepthData().copy()
    last_sequence = held.getSequence()
    # A few frames first, from which the camera learns the frame period.
    for _ in range(3):
        frame = camera.requestFrame(wait_ms)
        assert frame.getSequence() > last_sequence
        last_sequence = frame.getSequence()
        camera.releaseFrame(frame)
    try:
        for cycle in range(2):
            assert library.QuorvanEvkSetAttached(b"PY-A", 0) == 0
            assert _wait_for(lambda: camera.getStatistics().disconnects == cycle + 1, 3)
            time.sleep(0.15)
            assert library.QuorvanEvkSetAttached(b"PY-A", 1) == 0
            while (stale := camera.requestFrame(0)) is not None:
                last_sequence = stale.getSequence()
                camera.releaseFrame(stale)
            resumed = camera.requestFrame(wait_ms)
            assert resumed is not None, f"cycle {cycle}"
            assert resumed.getSequence() > last_sequence
            last_sequence = resumed.getSequence()
            camera.releaseFrame(resumed)
    finally:
        library.QuorvanEvkSetAttached(b"PY-A", 1)
    # The frame held across both departures is still the one it was.
    assert (held.getDepthData() == held_depth).all()
    statistics = camera.getStatistics()
    assert (statistics.disconnects, statistics.reconnects) == (2, 2)
    assert statistics.lost_while_disconnected >= 2
    events = camera.takeConnectionEvents()
    assert [e.kind for e in events] == ["disconnected", "reconnected"] * 2
    assert all(e.serial == "PY-A" for e in events)
    assert all(e.gap_ms >= 150 and e.frames_lost >= 1 for e in events[1::2])
    assert camera.takeConnectionEvents() == []
    camera.stop()
    camera.close()


def _list_command(*args):
    return [sys.executable, "-m", "quorvan.tools.list_cameras", *args]


def test_quorvan_list_shows_every_kit_once_and_survives_a_closed_pipe(kit_bus):
    listed = subprocess.run(_list_command(), capture_output=True, text=True, timeout=120,
                            env=dict(os.environ))
    assert listed.returncode == 0, listed.stderr
    assert listed.stdout.splitlines() == [
        "USB 0: HQVGA, 240x180  serial PY-A",
        "USB 1: HQVGA, 240x180  serial PY-B",
        "USB 2: VGA, 640x2405  serial PY-C",
    ]
    # A reader that has gone before the first line (as `| head` after its
    # lines): no traceback, and the exit status of a completed listing.
    reader_gone = subprocess.Popen(_list_command(), stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=dict(os.environ))
    reader_gone.stdout.close()
    _, errors = reader_gone.communicate(timeout=120)
    assert b"Traceback" not in errors, errors.decode()
    assert b"BrokenPipe" not in errors
    assert reader_gone.returncode == 0
