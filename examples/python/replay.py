"""Replays an MCAP recording (see README, Replay) through the camera's own depth
code and writes the last frame as the same depth and amplitude pictures as
stream_depth.py.

    python examples/python/record.py --config emulation/evk_sdk/configs/noise_free.cfg \
        --output raw.mcap --output-type raw --frames 60
    python examples/python/replay.py raw.mcap --output examples/output
    python examples/python/replay.py raw.mcap --fast --loop 3
"""

import argparse
import pathlib
import sys
import time

import numpy as np

import QuorvanDepthCamera as qdc
from quorvan.replay import PlaybackCamera
from stream_depth import MIN_AMPLITUDE, amplitude_picture, depth_picture, write_png

FRAME_TIMEOUT_MS = 2000


def play(camera, frames, show_progress):
    last = None
    for count in range(1, frames + 1):
        frame = camera.requestFrame(FRAME_TIMEOUT_MS)
        if frame is None:
            print(f"\nno frame within {FRAME_TIMEOUT_MS} ms; stopping", file=sys.stderr)
            break
        last = (frame.getDepthData().copy(), frame.getAmplitudeData().copy())
        camera.releaseFrame(frame)
        if show_progress:
            sys.stderr.write(f"\r{count}/{frames} frames")
    if show_progress:
        sys.stderr.write("\n")
    return last


def positive_count(text):
    """An argparse type: a whole number of at least 1."""
    try:
        count = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if count < 1:
        raise argparse.ArgumentTypeError(f"{count}: play at least once")
    return count


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("recording", type=pathlib.Path)
    parser.add_argument("--fast", action="store_true",
                        help="as fast as possible instead of at the recorded pace")
    parser.add_argument("--loop", type=positive_count, default=1, metavar="N",
                        help="play N times (1 or more)")
    parser.add_argument("--seek", type=float, default=0.0, metavar="SECONDS")
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("examples/output"))
    args = parser.parse_args()

    camera = PlaybackCamera(args.recording, realtime=not args.fast, loop=args.loop > 1)
    try:
        status = camera.open()
    except ValueError as error:
        print(error, file=sys.stderr)
        return 1
    if status != qdc.TOFErrorCode.QuorvanSuccess:
        print(f"cannot open the playback camera: {status.str()}", file=sys.stderr)
        return 1
    info = camera.getCameraInfo()
    print(f"recording: {camera.frame_count} raw frames over {camera.duration:.2f} s from a "
          f"{info.width}x{info.height} {info.device_type.name} sensor")
    try:
        camera.seek(args.seek)
    except ValueError as error:
        print(f"--seek: {error}", file=sys.stderr)
        camera.close()
        return 1
    frames = (camera.frame_count - camera.position) + camera.frame_count * (args.loop - 1)
    if camera.start(qdc.TOFOutput.DEPTH) != qdc.TOFErrorCode.QuorvanSuccess:
        print("cannot start the playback", file=sys.stderr)
        camera.close()
        return 1
    started = time.monotonic()
    try:
        last = play(camera, frames, sys.stderr.isatty())
    finally:
        camera.stop()
        camera.close()
    elapsed = time.monotonic() - started
    if last is None:
        print("no frame was played", file=sys.stderr)
        return 1
    print(f"played {frames} frames in {elapsed:.2f} s")

    depth, amplitude = last
    max_range = camera.getControl(qdc.TOFControl.RANGE) or 4000
    valid = (amplitude > MIN_AMPLITUDE) & np.isfinite(depth)
    if valid.any():
        d = depth[valid]
        print(f"depth of {valid.mean() * 100:.1f}% lit pixels: min {d.min():.0f} mm, "
              f"median {np.median(d):.0f} mm, max {d.max():.0f} mm (range {max_range} mm)")
    args.output.mkdir(parents=True, exist_ok=True)
    write_png(args.output / "depth.png", depth_picture(depth, valid, max_range))
    write_png(args.output / "amplitude.png", amplitude_picture(amplitude))
    print(f"depth picture: {(args.output / 'depth.png').resolve()}")
    print(f"amplitude picture: {(args.output / 'amplitude.png').resolve()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
