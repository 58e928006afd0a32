"""Seeking in a long recording: the time from ``seek()`` to the first frame at
the target, for a seek to the middle of a 240x180 recording (10 minutes at
30 fps by default), while the playback streams.

The recording is built once in a temporary folder: raw frames of the
emulated kit, written with the MCAP writer through the recorder's own
encoder, timestamped as a 30 fps recording would be. Prints the time to open
the recording, then the median, minimum and maximum over the seeks to the
middle (each one comes after a seek elsewhere, so that every seek moves).

    python3 bench/replay_seek.py [--minutes M] [--seeks N] [--keep PATH]

QuorvanDepthCamera and quorvan must be importable (PYTHONPATH).
"""

from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import sys
import tempfile
import time

from mcap.writer import CompressionType, Writer

import QuorvanDepthCamera as qdc
from quorvan import messages
from quorvan.replay import PlaybackCamera

KIT_CONFIG = "frame_rate = unpaced\nnoise = on\n"
FRAME_PERIOD_NS = 1_000_000_000 // 30
# Distinct kit captures the recording cycles through.
DISTINCT_FRAMES = 8
TIMEOUT_MS = 5000
SUCCESS = qdc.TOFErrorCode.QuorvanSuccess


def kit_raw_frames(count: int) -> tuple[list, dict[str, str]]:
    """``count`` raw planes of the emulated 240x180 kit and its camera metadata."""
    with tempfile.NamedTemporaryFile("w", suffix=".cfg", delete=False) as config:
        config.write(KIT_CONFIG)
    camera = qdc.QuorvanCamera()
    try:
        if camera.openWithFile(config.name, 0) != SUCCESS or camera.start(qdc.TOFOutput.RAW) != SUCCESS:
            raise SystemExit("replay_seek: FAILED to stream raw frames from the emulated kit")
        planes = []
        while len(planes) < count:
            frame = camera.requestFrame(TIMEOUT_MS)
            if frame is None:
                raise SystemExit("replay_seek: FAILED: no frame from the emulated kit")
            planes.append(frame.getRawData().copy())
            camera.releaseFrame(frame)
        info = camera.getCameraInfo()
        camera.stop()
    finally:
        camera.close()
        os.unlink(config.name)
    metadata = {
        name: str(getattr(info, name)) for name in ("index", "width", "height", "bit_width", "bpp")
    }
    metadata.update(connect=info.connect.name, device_type=info.device_type.name,
                    type=info.type.name)
    return planes, metadata


def write_recording(path: pathlib.Path, frames: int) -> None:
    """A recording of ``frames`` raw frames, in the layout of the recorder's raw files."""
    planes, camera = kit_raw_frames(DISTINCT_FRAMES)
    start_ns = 1_700_000_000 * 1_000_000_000
    with open(path, "wb") as stream:
        writer = Writer(stream, compression=CompressionType.NONE)
        writer.start(profile="ros2", library="replay_seek bench")
        schema = writer.register_schema(messages.IMAGE_SCHEMA.name, messages.SCHEMA_ENCODING,
                                        messages.IMAGE_SCHEMA.data)
        channel = writer.register_channel(messages.TOPIC_RAW, messages.MESSAGE_ENCODING, schema)
        writer.add_metadata("quorvan.camera", camera)
        writer.add_metadata("quorvan.controls", {"RANGE": "4000"})
        for number in range(frames):
            log_time = start_ns + number * FRAME_PERIOD_NS
            data = messages.encode_image(planes[number % len(planes)], log_time // 1_000_000)
            writer.add_message(channel, log_time, data, log_time)
        writer.finish()


def time_to_frame(camera: PlaybackCamera, seconds: float, stamp_ms: int) -> float:
    """Seconds from ``seek(seconds)`` until the frame stamped about ``stamp_ms`` arrives."""
    began = time.perf_counter()
    camera.seek(seconds)
    # Frames processed before the seek may still come first (one or two;
    # more with the code before the indexes).
    for _ in range(8):
        frame = camera.requestFrame(TIMEOUT_MS)
        if frame is None:
            raise SystemExit("replay_seek: FAILED: no frame after a seek")
        stamp = frame.getFrameFormat().timestamp
        camera.releaseFrame(frame)
        # Within a frame of the target: a seek by header stamp (older code)
        # lands on the next frame when the millisecond stamps round down.
        if abs(stamp - stamp_ms) <= FRAME_PERIOD_NS // 1_000_000 + 1:
            return time.perf_counter() - began
    raise SystemExit(f"replay_seek: FAILED: the seek did not reach the frame stamped {stamp_ms}")


def measure(path: pathlib.Path, frames: int, seeks: int) -> None:
    start_ns = 1_700_000_000 * 1_000_000_000
    middle, elsewhere = frames // 2, frames // 10

    def target(number: int) -> tuple[float, int]:
        return number * FRAME_PERIOD_NS / 1e9, (start_ns + number * FRAME_PERIOD_NS) // 1_000_000

    began = time.perf_counter()
    camera = PlaybackCamera(path, realtime=False)
    if camera.open() != SUCCESS:
        raise SystemExit("replay_seek: FAILED to open the recording")
    opened = time.perf_counter() - began
    try:
        if camera.start(qdc.TOFOutput.DEPTH) != SUCCESS:
            raise SystemExit("replay_seek: FAILED to start the playback")
        to_middle = []
        for _ in range(seeks):
            time_to_frame(camera, *target(elsewhere))
            to_middle.append(time_to_frame(camera, *target(middle)))
        camera.stop()
    finally:
        camera.close()
    minutes = frames * FRAME_PERIOD_NS / 60e9
    print(f"replay seek: {minutes:.0f}-minute 240x180 recording, {frames} frames, "
          f"{path.stat().st_size / 2**30:.1f} GiB: open {opened * 1000:.0f} ms")
    print(f"replay seek to the middle (frame {middle}), {seeks} seeks: median "
          f"{statistics.median(to_middle) * 1000:.1f} ms, min {min(to_middle) * 1000:.1f} ms, "
          f"max {max(to_middle) * 1000:.1f} ms")


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--seeks", type=int, default=5)
    parser.add_argument("--keep", type=pathlib.Path,
                        help="build the recording here (once) and keep it for the next run")
    args = parser.parse_args()
    frames = max(20, round(args.minutes * 60e9 / FRAME_PERIOD_NS))
    if args.keep is not None:
        if not args.keep.exists():
            write_recording(args.keep, frames)
        measure(args.keep, frames, args.seeks)
        return 0
    with tempfile.TemporaryDirectory(prefix="replay_seek_") as folder:
        path = pathlib.Path(folder) / "ten_minutes.mcap"
        built = time.perf_counter()
        write_recording(path, frames)
        print(f"(recording built in {time.perf_counter() - built:.0f} s)", file=sys.stderr)
        measure(path, frames, args.seeks)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
