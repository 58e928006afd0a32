"""Two emulated kits at 30 fps whose clocks run 200 ppm apart (one 100 ppm
fast, the other 100 ppm slow, at offsets of minutes from the host), each
delivering its images 0 to 8 ms late, streamed side by side for a minute.

The emulated kit knows when in host time its clock showed each timestamp
(emulation/evk_sdk/kit_clock.h: device = host * (1 + drift) + offset), so
every frame's host timestamp is compared with that truth. Printed:

    host_time_error_p50_ms: <median absolute error after the warm-up>
    host_time_error_p99_ms: <99th percentile>
    framesets_matched_percent: <frames of both cameras that ended in a set>

followed by the frame counts and each camera's estimated drift. The warm-up
(default 5 s from a camera's first frame) is left out of the error figures;
frame sets are counted over the time both cameras streamed, after it.

    python3 bench/multicamera.py [--seconds 60] [--warm-up 5]

QuorvanDepthCamera and the quorvan package must be importable.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import threading
import time
from dataclasses import dataclass

import QuorvanDepthCamera as qdc
from quorvan.framesets import FrameSets

FRAME_RATE = 30.0
JITTER_MS = 8.0
# (clock offset in ms, drift in ppm) of the two kits.
KITS = [(250_000.0, 100.0), (-30_000.0, -100.0)]
TIMEOUT_MS = 2000


@dataclass
class Frame:
    camera: int
    device_ms: int
    host_ns: int
    truth_ns: int
    drift_ppm: float


def kit_config(offset_ms: float, drift_ppm: float, seed: int) -> str:
    return (
        f"frame_rate = {FRAME_RATE}\nnoise = off\nseed = {seed}\n"
        f"clock_offset_ms = {offset_ms}\nclock_drift_ppm = {drift_ppm}\n"
        f"delivery_jitter_ms = {JITTER_MS}\n"
    )


def truth_ns(device_ms: int, offset_ms: float, drift_ppm: float) -> int:
    """Host steady time at which the kit's clock read `device_ms`."""
    since_epoch = device_ms * 1_000_000 - round(offset_ms * 1e6)
    rate = drift_ppm * 1e-6
    return since_epoch - round(since_epoch * rate / (1.0 + rate))


def stream(
    camera: qdc.QuorvanCamera, index: int, seconds: float, out: list[Frame], lock: threading.Lock
) -> None:
    offset_ms, drift_ppm = KITS[index]
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        frame = camera.requestFrame(TIMEOUT_MS)
        if frame is None:
            continue
        device_ms = frame.getDeviceTimestamp()
        host = frame.getHostTime()
        camera.releaseFrame(frame)
        record = Frame(
            index,
            device_ms,
            host.monotonic_ns,
            truth_ns(device_ms, offset_ms, drift_ppm),
            host.drift_ppm,
        )
        with lock:
            out.append(record)


def quantile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--warm-up", type=float, default=5.0)
    arguments = parser.parse_args()

    paths = []
    cameras = []
    try:
        for index, (offset_ms, drift_ppm) in enumerate(KITS):
            with tempfile.NamedTemporaryFile("w", suffix=".cfg", delete=False) as config:
                config.write(kit_config(offset_ms, drift_ppm, seed=11 + index))
            paths.append(config.name)
            camera = qdc.QuorvanCamera()
            status = camera.openWithFile(config.name, 0)
            if status != qdc.TOFErrorCode.QuorvanSuccess:
                print(f"cannot open emulated kit {index}: {status}", file=sys.stderr)
                return 1
            cameras.append(camera)
        for camera in cameras:
            camera.start(qdc.TOFOutput.RAW)
        frames: list[Frame] = []
        lock = threading.Lock()
        threads = [
            threading.Thread(target=stream, args=(camera, index, arguments.seconds, frames, lock))
            for index, camera in enumerate(cameras)
        ]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        for camera in cameras:
            camera.stop()
    finally:
        for camera in cameras:
            camera.close()
        for path in paths:
            os.unlink(path)

    per_camera = [[f for f in frames if f.camera == index] for index in range(len(KITS))]
    if any(len(camera_frames) < 2 for camera_frames in per_camera):
        print("a camera delivered no frames", file=sys.stderr)
        return 1
    errors_ms = []
    for camera_frames in per_camera:
        settled_from = camera_frames[0].truth_ns + int(arguments.warm_up * 1e9)
        errors_ms += [
            abs(f.host_ns - f.truth_ns) / 1e6 for f in camera_frames if f.truth_ns >= settled_from
        ]

    # Frame sets, fed in the order the frames arrived.
    sets: FrameSets[Frame] = FrameSets(len(KITS), frame_rate=FRAME_RATE)
    matched: list[Frame] = []
    for frame in frames:
        sets.add(frame.camera, frame.host_ns, frame)
        for frame_set in sets.take_sets():
            matched += frame_set
    sets.flush()
    unmatched = [u.item for u in sets.take_unmatched()]
    window_start = max(c[0].host_ns for c in per_camera) + int(arguments.warm_up * 1e9)
    window_end = min(c[-1].host_ns for c in per_camera)
    matched_in = sum(1 for f in matched if window_start <= f.host_ns <= window_end)
    unmatched_in = sum(1 for f in unmatched if window_start <= f.host_ns <= window_end)
    matched_percent = 100.0 * matched_in / max(1, matched_in + unmatched_in)

    print(f"host_time_error_p50_ms: {quantile(errors_ms, 0.50):.3f}")
    print(f"host_time_error_p99_ms: {quantile(errors_ms, 0.99):.3f}")
    print(f"framesets_matched_percent: {matched_percent:.2f}")
    print(f"host_time_error_max_ms: {max(errors_ms):.3f}")
    print(
        f"frames: {' '.join(str(len(c)) for c in per_camera)} "
        f"(sets {len(matched) // len(KITS)}, unmatched {len(unmatched)}, "
        f"{matched_in + unmatched_in} frames counted after the warm-up)"
    )
    # How the error settles: its largest value in each second after a camera's
    # first frame, over both cameras.
    profile = []
    for second in range(int(arguments.warm_up) + 1):
        errors_in_second = [
            abs(f.host_ns - f.truth_ns) / 1e6
            for camera_frames in per_camera
            for f in camera_frames
            if second * 1e9 <= f.truth_ns - camera_frames[0].truth_ns < (second + 1) * 1e9
        ]
        if errors_in_second:
            profile.append(f"{second}-{second + 1} s {max(errors_in_second):.2f}")
    print("largest error (ms) by second of the stream: " + ", ".join(profile))
    for index, camera_frames in enumerate(per_camera):
        print(
            f"camera {index}: drift configured {KITS[index][1]:+.1f} ppm, "
            f"estimated {camera_frames[-1].drift_ppm:+.1f} ppm"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
