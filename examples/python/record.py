"""Records a camera into an MCAP file with ROS 2 messages (see README, Recording).

    python examples/python/record.py --frames 300 --output session.mcap
    python examples/python/record.py --config emulation/evk_sdk/configs/noise_free.cfg \
        --output raw.mcap --output-type raw --seconds 10

Without --config the USB kit is opened as usual. At the end it prints the frames
written and dropped and the recording rate.
"""

import argparse
import sys
import time

import QuorvanDepthCamera as qdc
from quorvan.record import Recorder, record_camera

OUTPUTS = {"raw": qdc.TOFOutput.RAW, "depth": qdc.TOFOutput.DEPTH}


def progress_bar(total, width=40):
    def show(count):
        done = min(count / total, 1.0) if total else 0.0
        bar = "#" * int(done * width)
        sys.stderr.write(f"\r[{bar:<{width}}] {count}/{total}")
        sys.stderr.flush()
    return show


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", required=True, help="MCAP file to write")
    parser.add_argument("--config", help="kit configuration file (openWithFile)")
    parser.add_argument("--output-type", choices=OUTPUTS, default="raw")
    parser.add_argument("--frames", type=int)
    parser.add_argument("--seconds", type=float)
    parser.add_argument("--frame-rate", type=int, help="FRAME_RATE control to set")
    parser.add_argument("--mode", type=int, help="MODE control to set before start "
                        "(the 640x480 sensor: 0 single, 1 double frequency)")
    parser.add_argument("--compress", action="store_true", help="zstd chunks")
    args = parser.parse_args()
    if args.frames is None and args.seconds is None:
        args.frames = 100

    camera = qdc.QuorvanCamera()
    status = (camera.openWithFile(args.config, 0) if args.config
              else camera.open(qdc.TOFConnect.USB, 0))
    if status != qdc.TOFErrorCode.QuorvanSuccess:
        sys.exit(f"cannot open the camera: {status.str()}")
    try:
        with Recorder(args.output, camera, compression=args.compress,
                      kit_config=args.config) as recorder:
            if args.mode is not None:
                recorder.setControl(qdc.TOFControl.MODE, args.mode)
            if args.frame_rate:
                recorder.setControl(qdc.TOFControl.FRAME_RATE, args.frame_rate)
            status = camera.start(OUTPUTS[args.output_type])
            if status != qdc.TOFErrorCode.QuorvanSuccess:
                sys.exit(f"cannot start the camera: {status.str()}")
            began = time.monotonic()
            show = progress_bar(args.frames) if args.frames else None
            count = record_camera(camera, recorder, frames=args.frames, seconds=args.seconds,
                                  progress=show)
            elapsed = time.monotonic() - began
            camera.stop()
        sys.stderr.write("\n")
        print(f"{count} frames in {elapsed:.2f} s ({count / elapsed:.1f} fps): "
              f"{recorder.written} written, {recorder.dropped} dropped -> {args.output}")
    finally:
        camera.close()


if __name__ == "__main__":
    main()
