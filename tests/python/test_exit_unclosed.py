"""Scripts that end without closing what they opened still end."""

import contextlib
import os
import signal
import socket
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import REPO_ROOT
from hostile_recordings import record_raw

pytest.importorskip("zenoh")
pytest.importorskip("foxglove")

EXIT_LIMIT_S = 5.0


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def run_until_exit(script, limit_s):
    """(return code or None when it had to be killed, seconds, stderr) of ``script``."""
    began = time.monotonic()
    process = subprocess.Popen([sys.executable, "-c", script], cwd=REPO_ROOT,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    try:
        _, errors = process.communicate(timeout=limit_s)
        return process.returncode, time.monotonic() - began, errors
    except subprocess.TimeoutExpired:
        return None, time.monotonic() - began, ""
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGKILL)
        process.communicate()


# Everything up to the marker is set-up; the time limit counts from the marker,
# so that a slow start on a busy machine is not mistaken for a hang at exit.
EVERY_CLASS = """
    import sys, time
    import QuorvanDepthCamera as qdc
    from quorvan.foxglove_live import FoxgloveLiveServer
    from quorvan.live import Publisher, Subscriber
    from quorvan.stream import CameraReader, NewestFrameSlot
    from quorvan.record import Recorder
    from quorvan.replay import PlaybackCamera
    from quorvan.viewer import ViewerServer
    from quorvan.viewer.server import FrameStore

    camera = qdc.QuorvanCamera()
    assert camera.open(qdc.TOFConnect.USB, 0) == qdc.TOFErrorCode.QuorvanSuccess
    assert camera.start(qdc.TOFOutput.DEPTH) == qdc.TOFErrorCode.QuorvanSuccess
    recorder = Recorder({output!r}, camera)
    frame = camera.requestFrame(3000)
    recorder.write(frame)
    camera.releaseFrame(frame)
    playback = PlaybackCamera({recording!r}, realtime=True, loop=True)
    playback.open()
    playback.start(qdc.TOFOutput.DEPTH)
    publisher = Publisher(camera, "unclosed", listen=["tcp/127.0.0.1:{bus_port}"])
    subscriber = Subscriber("unclosed", connect=["tcp/127.0.0.1:{bus_port}"])
    subscriber.receive(200)
    lonely = Subscriber("nobody", connect=["tcp/127.0.0.1:{bus_port}"])
    lonely.receive(200)
    slot = NewestFrameSlot()
    reader = CameraReader(playback, slot.put)
    reader.start()
    store = FrameStore(playback)
    viewer = ViewerServer(camera, port=0)
    foxglove = FoxgloveLiveServer(camera, port={foxglove_port})
    print("created", flush=True)
    sys.stderr.write("END-OF-SETUP\\n")
"""


def test_a_script_creating_every_class_and_closing_none_exits_promptly(tmp_path):
    recording = record_raw(tmp_path / "unclosed.mcap", frames=5)
    durations = []
    for run in range(10):
        script = textwrap.dedent(EVERY_CLASS).format(
            output=str(tmp_path / f"left-open-{run}.mcap"), recording=str(recording),
            bus_port=free_port(), foxglove_port=free_port())
        # The set-up alone (a camera, two servers, a bus) runs in well under a
        # minute; the script is then given the exit limit on top of it.
        setup = run_until_exit(script.replace('print("created", flush=True)',
                                              "import os; os._exit(0)"), 60)
        assert setup[0] == 0, setup[2][-2000:]
        code, seconds, errors = run_until_exit(script, setup[1] + EXIT_LIMIT_S)
        assert code is not None, f"run {run}: still running {seconds:.1f} s after start"
        assert code == 0, errors[-2000:]
        durations.append(seconds - setup[1])
    assert max(durations) < EXIT_LIMIT_S, durations


def test_an_unclosed_subscriber_lets_a_three_line_script_end():
    code, seconds, errors = run_until_exit(textwrap.dedent(f"""
        from quorvan.live import Subscriber
        subscriber = Subscriber("nobody", connect=["tcp/127.0.0.1:{free_port()}"])
        subscriber.receive(200)
    """), 30)
    assert code == 0, f"exit code {code} after {seconds:.1f} s: {errors[-2000:]}"
