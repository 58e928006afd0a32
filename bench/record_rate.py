"""How fast the recorder keeps up with the emulated kit.

    python3 bench/record_rate.py [--seconds 60] [--compression zstd,lz4,none]
                                 [--unpaced-seconds 5] [--planes raw,depth]

Two measurements per compression:

- the 640x480 sensor in double-frequency mode (kit ``vga640_double``, paced at
  30 fps) recorded for ``--seconds``: frames the camera delivered, frames
  written and dropped, megabytes per second into the file and the process's
  CPU time as a share of one core;
- the 240x180 kit unpaced, raw only, for ``--unpaced-seconds``: frames written
  per second.

On a tree whose recorder has no stream core (``quorvan.stream.FrameStream``)
or no ``planes`` option, the older loop (``record_camera``) records raw only,
and the line says so. QuorvanDepthCamera and quorvan must be importable.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import resource
import sys
import tempfile
import time

import QuorvanDepthCamera as qdc

import quorvan.record as record
import quorvan.stream as stream

CONFIGS = pathlib.Path(__file__).resolve().parents[1] / "emulation" / "evk_sdk" / "configs"
HAS_CORE = hasattr(stream, "FrameStream") and hasattr(record.Recorder, "consume")


def _config(name: str, frame_rate: str, directory: str) -> str:
    lines = [
        line
        for line in (CONFIGS / f"{name}.cfg").read_text().splitlines()
        if not line.strip().startswith("frame_rate")
    ]
    path = os.path.join(directory, f"{name}_{frame_rate}.cfg")
    pathlib.Path(path).write_text("\n".join(lines + [f"frame_rate = {frame_rate}", ""]))
    return path


def _cpu_s() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def _recorder(path: str, camera: qdc.QuorvanCamera, compression: str, planes: tuple[str, ...]):
    if HAS_CORE:
        return record.Recorder(path, camera, compression=compression, planes=planes)
    # The older recorder takes a flag: zstd or nothing.
    return record.Recorder(path, camera, compression=compression == "zstd")


def run(config: str, mode: int | None, seconds: float, compression: str, planes, directory):
    camera = qdc.QuorvanCamera()
    if camera.openWithFile(config, 0) != qdc.TOFErrorCode.QuorvanSuccess:
        raise SystemExit(f"cannot open the emulated kit with {config}")
    output = os.path.join(directory, "bench.mcap")
    try:
        if mode is not None:
            camera.setControl(qdc.TOFControl.MODE, mode)
        recorder = _recorder(output, camera, compression, planes)
        camera.start(qdc.TOFOutput.RAW)
        cpu, began = _cpu_s(), time.monotonic()
        if HAS_CORE:
            with stream.FrameStream(camera, [recorder], queue_frames=4) as frames:
                time.sleep(seconds)
            delivered = frames.frames_read
            sink_dropped = sum(entry.dropped for entry in frames.statistics())
        else:
            delivered = record.record_camera(camera, recorder, seconds=seconds)
            recorder.close()
            sink_dropped = 0
        elapsed = time.monotonic() - began
        cpu = _cpu_s() - cpu
        camera.stop()
    finally:
        camera.close()
    size = os.path.getsize(output)
    os.unlink(output)
    return {
        "delivered": delivered,
        "written": recorder.written,
        "dropped": recorder.dropped + sink_dropped,
        "elapsed": elapsed,
        "mb_s": size / elapsed / 1e6,
        "cpu": 100.0 * cpu / elapsed,
        "fps": recorder.written / elapsed,
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--unpaced-seconds", type=float, default=5.0)
    parser.add_argument("--compression", default="zstd")
    parser.add_argument("--planes", default="raw,depth")
    args = parser.parse_args()
    planes = tuple(args.planes.split(",")) if HAS_CORE else ("raw",)
    layout = "+".join(planes) + ("" if HAS_CORE else " (older recorder: raw only)")
    with tempfile.TemporaryDirectory() as directory:
        vga = _config("vga640_double", "30", directory)
        unpaced = _config("default", "unpaced", directory)
        for compression in args.compression.split(","):
            if args.seconds > 0:
                r = run(vga, 1, args.seconds, compression, planes, directory)
                print(
                    f"record 640x480 double 30 fps {layout} {compression}: "
                    f"{r['delivered']} delivered, {r['written']} written, {r['dropped']} dropped "
                    f"in {r['elapsed']:.1f} s ({r['fps']:.1f} fps), {r['mb_s']:.0f} MB/s, "
                    f"CPU {r['cpu']:.0f}% of a core",
                    flush=True,
                )
            if args.unpaced_seconds > 0:
                r = run(unpaced, None, args.unpaced_seconds, compression, ("raw",), directory)
                print(
                    f"record 240x180 raw unpaced {compression}: {r['fps']:.0f} frames/s written "
                    f"({r['delivered']} delivered, {r['dropped']} dropped), "
                    f"{r['mb_s']:.0f} MB/s, CPU {r['cpu']:.0f}% of a core",
                    flush=True,
                )
    return 0


if __name__ == "__main__":
    sys.exit(main())
