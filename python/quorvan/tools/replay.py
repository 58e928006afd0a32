"""quorvan-replay: plays an MCAP recording through the camera's own depth code and
writes the last frame as depth and amplitude pictures.

    quorvan-record --config noise_free --output raw.mcap --output-type raw --frames 60
    quorvan-replay raw.mcap --output pictures
    quorvan-replay raw.mcap --fast --loop 3
    quorvan-replay cameras.mcap --namespace /right
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import time

import numpy as np
import numpy.typing as npt

import QuorvanDepthCamera as qdc

from ..argument_types import whole_number
from ..depth_picture import amplitude_picture, depth_picture, write_png
from ..replay import PlaybackCamera
from ..viewer.pictures import DEFAULT_RANGE_MM
from .progress import Progress

__all__ = ["MIN_AMPLITUDE", "main"]

FRAME_TIMEOUT_MS = 2000
# Pixels this dim carry too little light for a trustworthy depth.
MIN_AMPLITUDE = 20.0

Planes = tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]


def _play(camera: PlaybackCamera, frames: int) -> Planes | None:
    last: Planes | None = None
    progress = Progress(total=frames)
    try:
        for count in range(1, frames + 1):
            frame = camera.requestFrame(FRAME_TIMEOUT_MS)
            if frame is None:
                print(f"\nno frame within {FRAME_TIMEOUT_MS} ms; stopping", file=sys.stderr)
                break
            if isinstance(frame, qdc.DepthData):
                last = (frame.getDepthData().copy(), frame.getAmplitudeData().copy())
            camera.releaseFrame(frame)
            progress.update(count)
    finally:
        progress.finish()
    return last


def _positive_count(text: str) -> int:
    """An argparse type: a whole number of at least 1."""
    count = whole_number(text)
    if count < 1:
        raise argparse.ArgumentTypeError(f"{count}: play at least once")
    return count


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        description=(__doc__ or "").splitlines()[0],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("recording", type=pathlib.Path)
    parser.add_argument(
        "--fast", action="store_true", help="as fast as possible instead of at the recorded pace"
    )
    parser.add_argument(
        "--loop", type=_positive_count, default=1, metavar="N", help="play N times (1 or more)"
    )
    parser.add_argument("--seek", type=float, default=0.0, metavar="SECONDS")
    parser.add_argument(
        "--namespace",
        metavar="NS",
        help="in a recording of several cameras, the one to play (default: the first)",
    )
    parser.add_argument(
        "--output",
        type=pathlib.Path,
        default=pathlib.Path("."),
        help="directory for depth.png and amplitude.png (default: the current one)",
    )
    return parser


def _write_pictures(camera: PlaybackCamera, last: Planes, output: pathlib.Path) -> None:
    depth, amplitude = last
    max_range = camera.getControl(qdc.TOFControl.RANGE) or DEFAULT_RANGE_MM
    valid = (amplitude > MIN_AMPLITUDE) & np.isfinite(depth)
    if valid.any():
        d = depth[valid]
        print(
            f"depth of {valid.mean() * 100:.1f}% lit pixels: min {d.min():.0f} mm, "
            f"median {np.median(d):.0f} mm, max {d.max():.0f} mm (range {max_range} mm)"
        )
    output.mkdir(parents=True, exist_ok=True)
    write_png(output / "depth.png", depth_picture(depth, valid, max_range))
    write_png(output / "amplitude.png", amplitude_picture(amplitude))
    print(f"depth picture: {(output / 'depth.png').resolve()}")
    print(f"amplitude picture: {(output / 'amplitude.png').resolve()}")


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    camera = PlaybackCamera(
        args.recording, realtime=not args.fast, loop=args.loop > 1, namespace=args.namespace
    )
    try:
        status = camera.open()
    except (OSError, ValueError) as error:
        print(error, file=sys.stderr)
        return 1
    if status != qdc.TOFErrorCode.QuorvanSuccess:
        print(f"cannot open the playback camera: {status.str()}", file=sys.stderr)
        return 1
    info = camera.getCameraInfo()
    print(
        f"recording: {camera.frame_count} raw frames over {camera.duration:.2f} s from a "
        f"{info.width}x{info.height} {info.device_type.name} sensor"
    )
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
        last = _play(camera, frames)
        elapsed = time.monotonic() - started
        if last is None:
            print("no frame was played", file=sys.stderr)
            return 1
        print(f"played {frames} frames in {elapsed:.2f} s")
        # The recorded controls are read from the open playback.
        _write_pictures(camera, last, args.output)
    finally:
        camera.stop()
        camera.close()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
