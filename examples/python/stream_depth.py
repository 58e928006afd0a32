"""Streams depth from a camera (by default the emulated USB evaluation kit) for
a few seconds, prints frame rate, latency and depth statistics, and writes the
last frame as a colour-mapped depth picture (with its scale in millimetres)
and an amplitude picture.

    python examples/python/stream_depth.py --seconds 3 --output examples/output
"""

import argparse
import pathlib
import sys
import time

import numpy as np

import QuorvanDepthCamera as qdc
from quorvan.depth_picture import amplitude_picture, depth_picture, write_png

FRAME_TIMEOUT_MS = 2000
# Pixels this dim carry too little light for a trustworthy depth.
MIN_AMPLITUDE = 20.0


def capture_latency_ms(timestamp_ms, arrival):
    """Arrival minus capture time, when the kit's timestamps come from a
    clock this process can read; None otherwise."""
    for clock in (time.CLOCK_MONOTONIC, time.CLOCK_REALTIME, time.CLOCK_BOOTTIME):
        now_ms = arrival[clock]
        if 0 <= now_ms - timestamp_ms < 10_000:
            return now_ms - timestamp_ms
    return None


def percentile_text(values):
    if not values:
        return "n/a"
    samples = np.asarray(values)
    return (f"mean {samples.mean():.1f} ms, median {np.median(samples):.1f} ms, "
            f"95th percentile {np.percentile(samples, 95):.1f} ms")


def stream(camera, seconds, output_dir):
    waits, latencies = [], []
    frames = 0
    last = None
    started = asked = time.monotonic()
    # Each frame goes back to the camera when the loop takes the next one.
    for frame in camera.frames(FRAME_TIMEOUT_MS):
        arrival = {clock: time.clock_gettime(clock) * 1000.0
                   for clock in (time.CLOCK_MONOTONIC, time.CLOCK_REALTIME, time.CLOCK_BOOTTIME)}
        waits.append((time.monotonic() - asked) * 1000.0)
        latency = capture_latency_ms(frame.getFrameFormat().timestamp, arrival)
        if latency is not None:
            latencies.append(latency)
        last = (frame.getDepthData(), frame.getAmplitudeData(), frame.getConfidenceData())
        frames += 1
        if time.monotonic() - started >= seconds:
            break
        asked = time.monotonic()
    else:
        print(f"no frame within {FRAME_TIMEOUT_MS} ms", file=sys.stderr)
    elapsed = time.monotonic() - started

    print(f"frames: {frames} in {elapsed:.2f} s = {frames / elapsed:.1f} frames per second")
    print(f"wait in requestFrame: {percentile_text(waits)}")
    print(f"capture to arrival: {percentile_text(latencies)}")
    counts = camera.getStatistics()
    print(f"captures: {counts.captured}, delivered {counts.delivered}, "
          f"overwritten unread {counts.overwritten}, skipped {counts.skipped}, "
          f"sensor failures {counts.sensor_failures}")
    if last is None:
        return 1

    depth, amplitude, confidence = last
    max_range = camera.getControl(qdc.TOFControl.RANGE) or 4000
    valid = (amplitude > MIN_AMPLITUDE) & np.isfinite(depth)
    if valid.any():
        d = depth[valid]
        print(f"depth of {valid.mean() * 100:.1f}% lit pixels: min {d.min():.0f} mm, "
              f"median {np.median(d):.0f} mm, max {d.max():.0f} mm (range {max_range} mm)")
    print(f"amplitude: mean {amplitude.mean():.1f}, max {amplitude.max():.1f}; "
          f"confidence: mean {confidence.mean():.1f}")

    output_dir.mkdir(parents=True, exist_ok=True)
    depth_path = output_dir / "depth.png"
    amplitude_path = output_dir / "amplitude.png"
    write_png(depth_path, depth_picture(depth, valid, max_range))
    write_png(amplitude_path, amplitude_picture(amplitude))
    print(f"depth picture: {depth_path.resolve()}")
    print(f"amplitude picture: {amplitude_path.resolve()}")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--config", help="emulated kit configuration file (default: built-in kit)")
    parser.add_argument("--csi", type=int, metavar="N", help="use the CSI camera /dev/videoN")
    parser.add_argument("--range", type=int, choices=(2000, 4000), help="depth range in mm")
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("examples/output"))
    args = parser.parse_args()

    # Leaving the block stops the stream and closes the camera.
    with qdc.QuorvanCamera() as camera:
        if args.csi is not None:
            status = camera.open(qdc.TOFConnect.CSI, args.csi)
        elif args.config:
            status = camera.openWithFile(args.config)
        else:
            status = camera.open(qdc.TOFConnect.USB, 0)
        if status != qdc.TOFErrorCode.QuorvanSuccess:
            print(f"cannot open the camera: {status.str()}", file=sys.stderr)
            return 1
        info = camera.getCameraInfo()
        print(f"camera: {info.width}x{info.height}, {info.bit_width}-bit, "
              f"{info.connect.name} {info.index}, {info.device_type.name}")
        if args.range:
            camera.setControl(qdc.TOFControl.RANGE, args.range)

        status = camera.start(qdc.TOFOutput.DEPTH)
        if status != qdc.TOFErrorCode.QuorvanSuccess:
            print(f"cannot start streaming: {status.str()}", file=sys.stderr)
            return 1
        return stream(camera, args.seconds, args.output)

if __name__ == "__main__":
    sys.exit(main())
