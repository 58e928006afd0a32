"""The library's messages reach Python's logging under quorvan.* loggers,
from Python threads and from the camera's own capture thread, and stop
cleanly at exit."""

import logging
import time

import pytest

import QuorvanDepthCamera as qdc
from conftest import run_python

# A kit whose every capture times out quickly: after a few seconds without a
# frame the capture thread reports it.
TIMING_OUT_KIT = """
timeout_every = 1
timeout_wait_ms = 20
"""

STREAM_UNTIL_REPORTED = """
import logging, os, sys, time
{environment}
import QuorvanDepthCamera as qdc

records = []
class Keep(logging.Handler):
    def emit(self, record):
        records.append((record.name, record.levelno, record.getMessage()))
logging.getLogger("quorvan").addHandler(Keep())

config = sys.argv[1] if len(sys.argv) > 1 else {config!r}
camera = qdc.QuorvanCamera()
assert camera.openWithFile(config, 0) == qdc.TOFErrorCode.QuorvanSuccess
assert camera.start(qdc.TOFOutput.DEPTH) == qdc.TOFErrorCode.QuorvanSuccess
deadline = time.monotonic() + {wait_s}
while time.monotonic() < deadline and not records:
    assert camera.requestFrame(100) is None
camera.stop()
camera.close()
for record in records:
    print(repr(record))
"""


def stream_until_reported(tmp_path, wait_s, environment=""):
    config = tmp_path / "timing_out.cfg"
    config.write_text(TIMING_OUT_KIT)
    code = STREAM_UNTIL_REPORTED.format(
        environment=environment, config=str(config), wait_s=wait_s
    )
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    return result


def test_capture_thread_reports_arrive_under_quorvan_camera(tmp_path):
    # The report is made on the capture thread while the main thread waits in
    # requestFrame; it is delivered to Python without that thread ever
    # waiting for the interpreter lock.
    result = stream_until_reported(tmp_path, wait_s=20)
    lines = result.stdout.splitlines()
    assert lines, result.stderr
    name, level, message = eval(lines[0])
    assert name == "quorvan.camera"
    assert level == 30
    assert message.startswith("QuorvanTOFCamera: no complete frame for ")
    assert message.endswith(": captures time out")
    # Delivered to Python only, not also to standard error.
    assert "no complete frame" not in result.stderr


def test_none_silences_the_library(tmp_path):
    result = stream_until_reported(
        tmp_path, wait_s=5, environment='os.environ["QUORVAN_LOG"] = "*:none"'
    )
    assert result.stdout == ""
    assert "QuorvanTOFCamera" not in result.stderr


def test_a_python_thread_without_the_lock_reports_through_logging(caplog):
    # The playback camera starts with the interpreter lock let go; the
    # device's refusal of a raw size it cannot decode is reported meanwhile.
    camera = qdc.QuorvanPlaybackCamera(100, 100, 12, 2)
    assert camera.open() == qdc.TOFErrorCode.QuorvanSuccess
    with caplog.at_level(logging.DEBUG, logger="quorvan"):
        assert camera.start(qdc.TOFOutput.DEPTH) != qdc.TOFErrorCode.QuorvanSuccess
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not caplog.records:
            time.sleep(0.01)
    camera.close()
    [record] = [r for r in caplog.records if r.name.startswith("quorvan")]
    assert record.name == "quorvan.device"
    assert record.levelno == logging.ERROR
    assert record.getMessage() == (
        "QuorvanDeviceVGA: the sensor delivers 100x100 samples, which fits no 640x480 "
        "sensor layout (width 640 or 320, 5 or 10 blocks of height + 1 rows)"
    )


@pytest.mark.parametrize("hold_lock_at_exit", [False, True])
def test_exit_while_the_capture_thread_reports_neither_hangs_nor_crashes(
    tmp_path, hold_lock_at_exit
):
    # A daemon thread keeps streaming when the script ends; the capture thread
    # goes on reporting while the interpreter shuts down. With the lock held
    # by a busy main thread, reports pile up in the queue first.
    config = tmp_path / "timing_out.cfg"
    config.write_text(TIMING_OUT_KIT)
    code = f"""
        import logging, os, threading, time
        os.environ["QUORVAN_LOG"] = "*:debug"
        import QuorvanDepthCamera as qdc
        logging.basicConfig(level=logging.DEBUG)
        camera = qdc.QuorvanCamera()
        assert camera.openWithFile({str(config)!r}, 0) == qdc.TOFErrorCode.QuorvanSuccess
        assert camera.start(qdc.TOFOutput.DEPTH) == qdc.TOFErrorCode.QuorvanSuccess
        def stream():
            while True:
                camera.requestFrame(50)
        threading.Thread(target=stream, daemon=True).start()
        deadline = time.monotonic() + 3.5
        while time.monotonic() < deadline:
            if {hold_lock_at_exit}:
                sum(range(100000))
            else:
                time.sleep(0.05)
        print("leaving")
    """
    result = run_python(code, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "leaving"


def test_a_forked_child_exits_after_the_parent_started_delivering(tmp_path):
    # The delivery thread runs in the parent only; the child's exit hook must
    # not wait for it.
    config = tmp_path / "timing_out.cfg"
    config.write_text(TIMING_OUT_KIT)
    code = f"""
        import logging, os, time
        import QuorvanDepthCamera as qdc
        records = []
        class Keep(logging.Handler):
            def emit(self, record):
                records.append(record)
        logging.getLogger("quorvan").addHandler(Keep())
        camera = qdc.QuorvanCamera()
        assert camera.openWithFile({str(config)!r}, 0) == qdc.TOFErrorCode.QuorvanSuccess
        assert camera.start(qdc.TOFOutput.DEPTH) == qdc.TOFErrorCode.QuorvanSuccess
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and not records:
            camera.requestFrame(100)
        assert records, "no report from the capture thread"
        camera.stop()
        camera.close()
        child = os.fork()
        if child == 0:
            raise SystemExit(0)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            done, status = os.waitpid(child, os.WNOHANG)
            if done:
                print("child exit", os.waitstatus_to_exitcode(status))
                break
            time.sleep(0.05)
        else:
            os.kill(child, 9)
            print("child hung")
    """
    result = run_python(code, timeout=90)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "child exit 0", result.stderr
