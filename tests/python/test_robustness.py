"""Nothing reachable from Python may crash the interpreter. Each scenario runs
in a fresh interpreter so a crash fails the test instead of the test run."""

import pytest

from conftest import run_python

PRELUDE = """
import QuorvanDepthCamera as qdc
from conftest import open_kit, wait_for_frame
Success = qdc.TOFErrorCode.QuorvanSuccess
"""


def run_scenario(body):
    result = run_python(
        "import sys; sys.path.insert(0, 'tests/python')\n" + PRELUDE + body + "\nprint('done')")
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stdout}\n{result.stderr}"
    assert result.stdout.strip().endswith("done"), result.stdout
    return result


def test_deleting_a_streaming_camera_with_frames_held():
    run_scenario("""
camera = qdc.QuorvanCamera()
assert open_kit(camera) == Success
assert camera.start(qdc.TOFOutput.DEPTH) == Success
frames = [wait_for_frame(camera), wait_for_frame(camera)]
del camera
for frame in frames:
    try:
        frame.getDepthData()
    except RuntimeError:
        pass
    else:
        raise AssertionError("a frame of a destroyed camera was readable")
other = qdc.QuorvanCamera()
assert other.releaseFrame(frames[0]) == qdc.TOFErrorCode.QuorvanUnkownError
""")


def test_interpreter_exit_while_streaming():
    run_scenario("""
camera = qdc.QuorvanCamera()
assert open_kit(camera) == Success
assert camera.start(qdc.TOFOutput.RAW) == Success
frame = wait_for_frame(camera)
""")


@pytest.mark.parametrize("calls", [
    # Before any open.
    "camera.stop(); camera.stop(); camera.close(); camera.start(qdc.TOFOutput.DEPTH); "
    "camera.open(qdc.TOFConnect(7), 2**31 - 1); camera.open(qdc.TOFConnect.CSI, -1); "
    "camera.requestFrame(0); camera.requestFrame(-32768); camera.releaseFrame(None)",
    # Open twice, start twice, stop twice, close twice.
    "open_kit(camera); open_kit(camera); camera.start(qdc.TOFOutput.DEPTH); "
    "camera.start(qdc.TOFOutput.RAW); camera.stop(); camera.stop(); camera.close(); camera.close()",
    # Open again while streaming, then keep using the camera.
    "open_kit(camera); camera.start(qdc.TOFOutput.DEPTH); f = wait_for_frame(camera); "
    "open_kit(camera); camera.openWithFile(None); camera.openWithFile('/nonexistent.cfg'); "
    "f.getDepthData(); camera.releaseFrame(f); camera.releaseFrame(f); camera.stop(); "
    "camera.close(); camera.close()",
    # Output types that are not streams, and controls on a bare camera.
    "open_kit(camera); camera.start(qdc.TOFOutput.CONFIDENCE); camera.start(qdc.TOFOutput.CACHE); "
    "camera.setControl(qdc.TOFControl.SKIP_FRAME_LOOP, 0); "
    "camera.setControl(qdc.TOFControl.SKIP_FRAME, -1); "
    "camera.setControl(qdc.TOFControl.CONFIG_DIR_EXT, 1); camera.getControl(qdc.TOFControl.MODE); "
    "camera.getControl(qdc.TOFControl(300)); camera.start(qdc.TOFOutput(9)); "
    "camera.start(qdc.TOFOutput.DEPTH); camera.releaseFrame(wait_for_frame(camera)); camera.stop()",
    # Close while streaming with a frame held, then read it and start again.
    "open_kit(camera); camera.start(qdc.TOFOutput.DEPTH); f = wait_for_frame(camera); "
    "camera.close(); f.getAmplitudeData(); camera.close(); open_kit(camera); "
    "camera.start(qdc.TOFOutput.DEPTH); camera.releaseFrame(f); camera.stop()",
])
def test_calls_out_of_order_never_crash(calls):
    # A misplaced call may raise RuntimeError; a failed assertion (a frame
    # wait that timed out, say) is a failure of the scenario and goes through.
    run_scenario("camera = qdc.QuorvanCamera()\nfor call in '''" + calls + "'''.split('; '):\n"
                 "    try:\n        exec(call)\n    except RuntimeError:\n"
                 "        pass\n")
