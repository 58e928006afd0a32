"""Records N frames of one plane (depth, amplitude, confidence or raw) with
their timestamps into a NumPy .npz file.

    python examples/python/record_frames.py --frames 30 --plane depth --output depth.npz

The file holds `frames` (N, height, width), `timestamps` (N, the camera's
milliseconds) and a few fields describing the camera. Load it with
`numpy.load(path)`.
"""

import argparse
import sys

import numpy as np

import QuorvanDepthCamera as qdc

FRAME_TIMEOUT_MS = 2000
PLANES = {
    "depth": (qdc.TOFOutput.DEPTH, "getDepthData"),
    "amplitude": (qdc.TOFOutput.DEPTH, "getAmplitudeData"),
    "confidence": (qdc.TOFOutput.DEPTH, "getConfidenceData"),
    "raw": (qdc.TOFOutput.RAW, "getRawData"),
}


def record(camera, count, accessor):
    frames, timestamps = [], []
    # The arrays are copies; each frame goes back to the camera as the loop
    # takes the next one. The loop ends early if no frame comes in time.
    for frame in camera.frames(FRAME_TIMEOUT_MS):
        frames.append(getattr(frame, accessor)())
        timestamps.append(frame.getFrameFormat().timestamp)
        if len(frames) == count:
            break
    else:
        raise RuntimeError(f"no frame within {FRAME_TIMEOUT_MS} ms")
    return np.stack(frames), np.asarray(timestamps, dtype=np.uint64)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=30, help="number of frames (default 30)")
    parser.add_argument("--plane", choices=sorted(PLANES), default="depth")
    parser.add_argument("--config", help="emulated kit configuration file (default: built-in kit)")
    parser.add_argument("--output", default="frames.npz")
    args = parser.parse_args()
    if args.frames < 1:
        parser.error("--frames must be at least 1")

    # Leaving the block stops the stream and closes the camera.
    with qdc.QuorvanCamera() as camera:
        status = (camera.openWithFile(args.config) if args.config
                  else camera.open(qdc.TOFConnect.USB, 0))
        if status != qdc.TOFErrorCode.QuorvanSuccess:
            print(f"cannot open the camera: {status.str()}", file=sys.stderr)
            return 1
        output, accessor = PLANES[args.plane]
        status = camera.start(output)
        if status != qdc.TOFErrorCode.QuorvanSuccess:
            print(f"cannot start streaming: {status.str()}", file=sys.stderr)
            return 1
        frames, timestamps = record(camera, args.frames, accessor)

    info = camera.getCameraInfo()
    np.savez_compressed(args.output, frames=frames, timestamps=timestamps, plane=args.plane,
                        sensor_width=info.width, sensor_height=info.height,
                        bit_width=info.bit_width, device_type=info.device_type.name)
    span = (int(timestamps[-1]) - int(timestamps[0])) / 1000.0
    print(f"recorded {len(frames)} {args.plane} frames of {frames.shape[2]}x{frames.shape[1]} "
          f"({frames.dtype}) over {span:.2f} s to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
