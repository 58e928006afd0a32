"""Concurrent use from Python threads and repeated start/stop cycles: the
camera must neither crash nor lose a frame from its pool."""

import threading
import time

import numpy as np
import pytest

import QuorvanDepthCamera as qdc
from conftest import HQVGA_HEIGHT, HQVGA_WIDTH, hold_every_frame, wait_for_frame

Success = qdc.TOFErrorCode.QuorvanSuccess
STRESS_SECONDS = 4.0

pytestmark = pytest.mark.stress


CONTROL_SETTINGS = [
    (qdc.TOFControl.RANGE, 2000), (qdc.TOFControl.RANGE, 4000),
    (qdc.TOFControl.SKIP_FRAME_LOOP, 3), (qdc.TOFControl.SKIP_FRAME, 1),
    (qdc.TOFControl.SKIP_FRAME, 0), (qdc.TOFControl.SKIP_FRAME_LOOP, 1),
    (qdc.TOFControl.FRAME_RATE, 30), (qdc.TOFControl.EXPOSURE, 100),
]
# Controls the camera or this device always accept; the others get whatever
# answer they get from a camera left alone, and concurrency must not change it.
ALWAYS_ACCEPTED = {qdc.TOFControl.RANGE, qdc.TOFControl.SKIP_FRAME, qdc.TOFControl.SKIP_FRAME_LOOP}


def test_requesting_while_another_thread_changes_controls(depth_camera):
    answer_when_idle = [depth_camera.setControl(control, value)
                        for control, value in CONTROL_SETTINGS]
    for (control, _), answer in zip(CONTROL_SETTINGS, answer_when_idle):
        if control in ALWAYS_ACCEPTED:
            assert answer == Success, (control, answer)
    deadline = time.monotonic() + STRESS_SECONDS
    failures = []
    delivered = []

    def consume():
        try:
            count = 0
            while time.monotonic() < deadline:
                frame = depth_camera.requestFrame(100)
                if frame is None:
                    continue
                assert frame.getDepthData().shape == (HQVGA_HEIGHT, HQVGA_WIDTH)
                assert depth_camera.releaseFrame(frame) == Success
                count += 1
            delivered.append(count)
        except Exception as error:  # reported by the main thread
            failures.append(error)

    def change_controls():
        try:
            turn = 0
            while time.monotonic() < deadline:
                setting = turn % len(CONTROL_SETTINGS)
                control, value = CONTROL_SETTINGS[setting]
                answer = depth_camera.setControl(control, value)
                assert answer == answer_when_idle[setting], (control, value, answer)
                assert depth_camera.getControl(qdc.TOFControl.RANGE) in (2000, 4000)
                depth_camera.getCameraInfo()
                turn += 1
                time.sleep(0.001)
        except Exception as error:
            failures.append(error)

    threads = [threading.Thread(target=consume), threading.Thread(target=change_controls)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures, failures
    # The consumer ran to the deadline, received frames and released every one
    # of them successfully (a failed release is among the failures above).
    assert delivered and delivered[0] > 0

    depth_camera.setControl(qdc.TOFControl.SKIP_FRAME, 0)
    depth_camera.setControl(qdc.TOFControl.SKIP_FRAME_LOOP, 1)
    hold_every_frame(depth_camera)


def test_start_stop_cycles_switching_output_type(opened_camera):
    previous = None
    for cycle in range(20):
        output = qdc.TOFOutput.RAW if cycle % 2 else qdc.TOFOutput.DEPTH
        assert opened_camera.start(output) == Success
        if previous is not None:
            with pytest.raises(RuntimeError):
                previous.getFrameFormat()
        frame = wait_for_frame(opened_camera)
        if output == qdc.TOFOutput.RAW:
            assert type(frame) is qdc.RawData
            assert frame.getRawData().shape == (4 * HQVGA_HEIGHT, HQVGA_WIDTH)
        else:
            assert type(frame) is qdc.DepthData
            assert np.isfinite(frame.getDepthData()).all()
        # Every third cycle keeps its frame across stop, where it stays readable.
        if cycle % 3:
            assert opened_camera.releaseFrame(frame) == Success
        assert opened_camera.stop() == Success
        if cycle % 3 == 0:
            frame.getFrameFormat()
        previous = frame

    assert opened_camera.start(qdc.TOFOutput.DEPTH) == Success
    hold_every_frame(opened_camera)
    assert opened_camera.stop() == Success
