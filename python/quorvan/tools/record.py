"""quorvan-record: records a camera into an MCAP file with ROS 2 messages.

    quorvan-record --frames 300 --output session.mcap
    quorvan-record --config noise_free --output raw.mcap --output-type raw --seconds 10

Without --config the USB kit is opened as usual. A progress bar runs on
standard error; at the end it prints the frames written and dropped and the
recording rate.
"""

from __future__ import annotations

import argparse
import sys
import time

import QuorvanDepthCamera as qdc

from ..kit_configs import CONFIG_HELP, ConfigNotFound, resolve_config
from ..record import Recorder, record_camera
from .progress import Progress

__all__ = ["main"]

OUTPUTS = {"raw": qdc.TOFOutput.RAW, "depth": qdc.TOFOutput.DEPTH}
DEFAULT_FRAMES = 100


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        description=(__doc__ or "").splitlines()[0],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--output", required=True, help="MCAP file to write")
    parser.add_argument("--config", help=CONFIG_HELP)
    parser.add_argument("--output-type", choices=OUTPUTS, default="raw")
    parser.add_argument("--frames", type=int, help=f"frames to record (default {DEFAULT_FRAMES})")
    parser.add_argument("--seconds", type=float, help="seconds to record")
    parser.add_argument("--frame-rate", type=int, help="FRAME_RATE control to set")
    parser.add_argument(
        "--mode",
        type=int,
        help="MODE control to set before start (the 640x480 sensor: 0 single, 1 double frequency)",
    )
    parser.add_argument("--compress", action="store_true", help="zstd chunks")
    return parser


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    if args.frames is None and args.seconds is None:
        args.frames = DEFAULT_FRAMES
    try:
        config = resolve_config(args.config) if args.config else None
    except ConfigNotFound as error:
        print(f"error: {error}", file=sys.stderr)
        return 1

    camera = qdc.QuorvanCamera()
    status = camera.openWithFile(config, 0) if config else camera.open(qdc.TOFConnect.USB, 0)
    if status != qdc.TOFErrorCode.QuorvanSuccess:
        print(f"cannot open the camera: {status.str()}", file=sys.stderr)
        return 1
    try:
        with Recorder(
            args.output, camera, compression=args.compress, kit_config=config
        ) as recorder:
            if args.mode is not None:
                recorder.set_control(qdc.TOFControl.MODE, args.mode)
            if args.frame_rate:
                recorder.set_control(qdc.TOFControl.FRAME_RATE, args.frame_rate)
            status = camera.start(OUTPUTS[args.output_type])
            if status != qdc.TOFErrorCode.QuorvanSuccess:
                print(f"cannot start the camera: {status.str()}", file=sys.stderr)
                return 1
            began = time.monotonic()
            # A frame count, when given, ends the recording first; otherwise the clock does.
            progress = Progress(total=args.frames, seconds=args.seconds)
            try:
                count = record_camera(
                    camera,
                    recorder,
                    frames=args.frames,
                    seconds=args.seconds,
                    progress=progress.update,
                )
            finally:
                progress.finish()
            elapsed = time.monotonic() - began
            camera.stop()
        print(
            f"{count} frames in {elapsed:.2f} s ({count / elapsed:.1f} fps): "
            f"{recorder.written} written, {recorder.dropped} dropped -> {args.output}"
        )
    finally:
        camera.close()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
