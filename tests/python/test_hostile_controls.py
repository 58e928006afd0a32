"""Hostile values for the camera's own inputs: ranges outside the device's modes
and calibration files that are not calibration files."""

import subprocess
import sys
import textwrap

import pytest

import QuorvanDepthCamera as qdc
from conftest import REPO_ROOT

OK = qdc.TOFErrorCode.QuorvanSuccess
INVALID = qdc.TOFErrorCode.QuorvanInvalidParameter
CALIBRATION = "width = 240\nheight = 180\nfx = 170.5\nfy = 171\ncx = 119.5\ncy = 89.5\n"


@pytest.mark.parametrize("refused", [-1, 0, 3000, 10**9, 2**31 - 1])
def test_a_range_outside_the_devices_modes_is_refused_and_changes_nothing(depth_camera,
                                                                           refused):
    assert depth_camera.setControl(qdc.TOFControl.RANGE, 2000) == OK
    assert depth_camera.setControl(qdc.TOFControl.RANGE, refused) == INVALID
    assert depth_camera.getControl(qdc.TOFControl.RANGE) == 2000
    # The camera is still usable, at the range it had.
    frame = depth_camera.requestFrame(3000)
    assert frame is not None
    depth_camera.releaseFrame(frame)
    assert depth_camera.setControl(qdc.TOFControl.RANGE, 4000) == OK
    assert depth_camera.getControl(qdc.TOFControl.RANGE) == 4000


@pytest.mark.parametrize("text", [
    CALIBRATION + "fx = 200\n",               # a key twice: which one was meant?
    CALIBRATION.replace("\ncy", "\0\ncy"),  # text a reader of the file does not see
    CALIBRATION.replace("fx = 170.5", "fx = 170.5\0 is a guess"),
    CALIBRATION + "# padding\n" * 20000,      # larger than any calibration file
])
def test_load_intrinsics_refuses_ambiguous_or_hidden_text(opened_camera, tmp_path, text):
    path = tmp_path / "calibration.txt"
    path.write_bytes(text.encode())
    before = opened_camera.getIntrinsics()
    assert opened_camera.loadIntrinsics(str(path)) == INVALID
    assert opened_camera.getIntrinsics().fx == before.fx
    path.write_text(CALIBRATION)
    assert opened_camera.loadIntrinsics(str(path)) == OK
    assert opened_camera.getIntrinsics().fx == 170.5


def test_load_intrinsics_of_an_endless_file_returns_at_once():
    # In a child with a memory limit: an unbounded read of /dev/zero would
    # otherwise take the test run's memory with it.
    code = textwrap.dedent("""
        import resource, time
        resource.setrlimit(resource.RLIMIT_AS, (1 << 31, 1 << 31))
        import QuorvanDepthCamera as qdc
        camera = qdc.QuorvanCamera()
        assert camera.open(qdc.TOFConnect.USB, 0) == qdc.TOFErrorCode.QuorvanSuccess
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        began = time.monotonic()
        status = camera.loadIntrinsics("/dev/zero").name
        took = time.monotonic() - began
        grown_mb = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024
        print(status, took, grown_mb)
        camera.close()
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=60, cwd=REPO_ROOT)
    assert result.returncode == 0, result.stderr[-2000:]
    status, seconds, grown_mb = result.stdout.split()
    assert status == "QuorvanInvalidParameter" and float(seconds) < 5
    assert float(grown_mb) < 64, "the file was read without a bound"
