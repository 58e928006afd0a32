"""Per-frame cost of the Python path: requestFrame, the three NumPy copies of
a depth frame (depth, amplitude, confidence) and releaseFrame, over the
emulated kit delivering frames as fast as they are asked for.

The figure that matters is the consumer thread's CPU time per frame: it
counts the Python-side work only, not the time spent waiting for the capture
thread to finish the next frame. Wall time per frame is printed beside it.

    python3 bench/python_frame_overhead.py [--frames N]

QuorvanDepthCamera must be importable (installed, or on PYTHONPATH).
"""

import argparse
import os
import sys
import tempfile
import time

import QuorvanDepthCamera as qdc

KIT_CONFIG = "frame_rate = unpaced\nnoise = off\n"
TIMEOUT_MS = 2000
WARM_UP_FRAMES = 50


def run(camera, frames, copy_planes):
    """Returns (thread CPU seconds, wall seconds, frames delivered)."""
    delivered = 0
    cpu_start = time.thread_time()
    wall_start = time.perf_counter()
    for _ in range(frames):
        frame = camera.requestFrame(TIMEOUT_MS)
        if frame is None:
            continue
        if copy_planes:
            frame.getDepthData()
            frame.getAmplitudeData()
            frame.getConfidenceData()
        camera.releaseFrame(frame)
        delivered += 1
    return time.thread_time() - cpu_start, time.perf_counter() - wall_start, delivered


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=3000)
    frames = parser.parse_args().frames

    with tempfile.NamedTemporaryFile("w", suffix=".cfg", delete=False) as config:
        config.write(KIT_CONFIG)
    camera = qdc.QuorvanCamera()
    try:
        if camera.openWithFile(config.name, 0) != qdc.TOFErrorCode.QuorvanSuccess:
            print("python_frame_overhead: FAILED to open the emulated kit")
            return 1
        if camera.start(qdc.TOFOutput.DEPTH) != qdc.TOFErrorCode.QuorvanSuccess:
            print("python_frame_overhead: FAILED to start")
            return 1
        run(camera, WARM_UP_FRAMES, True)
        for name, copy_planes in (("python_frame_overhead", True),
                                  ("python_request_release_only", False)):
            cpu, wall, delivered = run(camera, frames, copy_planes)
            if delivered == 0:
                print(f"{name}: FAILED, no frames")
                return 1
            print(f"{name}: {cpu / delivered * 1e3:.4f} ms CPU per frame, "
                  f"{wall / delivered * 1e3:.4f} ms wall per frame, "
                  f"{delivered} frames")
        camera.stop()
    finally:
        camera.close()
        os.unlink(config.name)
    return 0


if __name__ == "__main__":
    sys.exit(main())
