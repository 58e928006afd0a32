"""quorvan-record: records a camera into an MCAP file with ROS 2 messages.

    quorvan-record --frames 300 --output session.mcap
    quorvan-record --config noise_free --output raw.mcap --output-type raw --seconds 10
    quorvan-record --config vga640_double --mode 1 --planes raw,depth --namespace /front \\
        --output both.mcap --seconds 60
    quorvan-record --all-cameras --namespace /rig --output rig.mcap --seconds 10

Without --config the USB kit is opened as usual. With --serial (once per
camera) or --all-cameras, several cameras go into the one file, each under
``<namespace>/<its serial>`` (``/rig/qvk000001``); --config then names the kit
configuration that describes them. The camera is read by the
stream core and the recorder is its sink, so a slow disk costs frames, counted,
never the camera's pace. A progress bar runs on standard error; at the end it
prints the frames written and dropped and the recording rate.
"""

from __future__ import annotations

import argparse
import sys
import threading
import time

import QuorvanDepthCamera as qdc

from ..conventions import DEFAULT_NAMESPACE, name_token, normalise_namespace
from ..kit_configs import CONFIG_HELP, ConfigNotFound, resolve_config
from ..record import IMAGE_PLANES, RecordedCamera, Recorder
from ..stream import FrameSnapshot, FrameStream, SinkFailed
from .progress import Progress

__all__ = ["main"]

OUTPUTS = {"raw": qdc.TOFOutput.RAW, "depth": qdc.TOFOutput.DEPTH}
DEFAULT_FRAMES = 100
_PROGRESS_INTERVAL_S = 0.05


class _FirstFrames:
    """Passes the first ``limit`` frames on to the recorder (all, when None) and
    says when it has them."""

    def __init__(self, recorder: Recorder | RecordedCamera, limit: int | None) -> None:
        self._recorder = recorder
        self._limit = limit
        self.passed = 0
        self.done = threading.Event()

    @property
    def name(self) -> str:
        return self._recorder.name

    def consume(self, snapshot: FrameSnapshot) -> None:
        if self._limit is not None and self.passed >= self._limit:
            return
        self._recorder.consume(snapshot)
        self.passed += 1
        if self._limit is not None and self.passed >= self._limit:
            self.done.set()

    @property
    def close_timeout_s(self) -> float:
        return self._recorder.close_timeout_s

    def close(self) -> None:
        self._recorder.close()


def _planes(text: str) -> tuple[str, ...]:
    planes = tuple(plane.strip() for plane in text.split(",") if plane.strip())
    unknown = [plane for plane in planes if plane not in IMAGE_PLANES]
    if not planes or unknown:
        raise argparse.ArgumentTypeError(
            f"{text!r}: a comma-separated list of {', '.join(IMAGE_PLANES)}"
        )
    return planes


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
    parser.add_argument(
        "--planes",
        type=_planes,
        help=(
            "image planes to record, e.g. raw,depth (depth of a raw camera is computed "
            "on the host); default: what the camera delivers"
        ),
    )
    parser.add_argument(
        "--namespace",
        default=DEFAULT_NAMESPACE,
        help=f"ROS namespace of the topics (e.g. /front; default {DEFAULT_NAMESPACE})",
    )
    cameras = parser.add_mutually_exclusive_group()
    cameras.add_argument(
        "--serial",
        action="append",
        help="record the camera with this serial number (give it once per camera)",
    )
    cameras.add_argument(
        "--all-cameras", action="store_true", help="record every attached camera into the file"
    )
    compression = parser.add_mutually_exclusive_group()
    compression.add_argument(
        "--compression", choices=("none", "zstd", "lz4"), default="none", help="chunk compression"
    )
    compression.add_argument(
        "--compress", dest="compression", action="store_const", const="zstd", help="zstd chunks"
    )
    return parser


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    if args.frames is None and args.seconds is None:
        args.frames = DEFAULT_FRAMES
    if args.planes and "raw" in args.planes:
        args.output_type = "raw"  # depth beside raw is computed from the raw frames
    try:
        config = resolve_config(args.config) if args.config else None
        namespace = normalise_namespace(args.namespace)
    except (ConfigNotFound, ValueError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    cameras: list[qdc.QuorvanCamera] = []
    try:
        opened = _open_cameras(args, config, cameras)
        if opened is not None:
            return opened
        namespaces = (
            [namespace]
            if len(cameras) == 1
            else [f"{namespace}/{name_token(camera.getSerial())}" for camera in cameras]
        )
        if len(set(namespaces)) != len(namespaces):
            print("error: two cameras share a serial number", file=sys.stderr)
            return 1
        try:
            recorder = Recorder(
                args.output,
                cameras[0],
                compression=args.compression,
                kit_config=config,
                planes=args.planes,
                namespace=namespaces[0],
            )
            parts: list[Recorder | RecordedCamera] = [recorder]
            for camera, where in zip(cameras[1:], namespaces[1:]):
                parts.append(recorder.add_camera(camera, where, planes=args.planes))
        except ValueError as error:
            print(f"error: {error}", file=sys.stderr)
            return 1
        return _record(args, list(zip(cameras, parts)), recorder)
    finally:
        for camera in cameras:
            camera.close()


def _open_cameras(
    args: argparse.Namespace, config: str | None, cameras: list[qdc.QuorvanCamera]
) -> int | None:
    """Opens the cameras asked for into ``cameras``; an exit status when one fails."""
    serials: list[str] | None = args.serial
    if args.all_cameras:
        serials = [found.serial for found in qdc.QuorvanCamera.listCameras(config)]
        if not serials:
            print("error: no camera is attached", file=sys.stderr)
            return 1
    if serials is None:
        camera = qdc.QuorvanCamera()
        status = camera.openWithFile(config, 0) if config else camera.open(qdc.TOFConnect.USB, 0)
        if status != qdc.TOFErrorCode.QuorvanSuccess:
            print(f"cannot open the camera: {status.str()}", file=sys.stderr)
            return 1
        cameras.append(camera)
        return None
    for serial in serials:
        camera = qdc.QuorvanCamera()
        status = camera.openBySerial(serial, config)
        if status != qdc.TOFErrorCode.QuorvanSuccess:
            print(f"cannot open the camera {serial}: {status.str()}", file=sys.stderr)
            return 1
        cameras.append(camera)
    return None


def _record(
    args: argparse.Namespace,
    cameras: list[tuple[qdc.QuorvanCamera, Recorder | RecordedCamera]],
    recorder: Recorder,
) -> int:
    for _, part in cameras:
        if args.mode is not None:
            part.set_control(qdc.TOFControl.MODE, args.mode)
        if args.frame_rate:
            part.set_control(qdc.TOFControl.FRAME_RATE, args.frame_rate)
    for camera, _ in cameras:
        status = camera.start(OUTPUTS[args.output_type])
        if status != qdc.TOFErrorCode.QuorvanSuccess:
            print(f"cannot start the camera: {status.str()}", file=sys.stderr)
            recorder.close()
            return 1
    sinks = [_FirstFrames(part, args.frames) for _, part in cameras]
    # A frame count, when given, ends the recording first; otherwise the clock does.
    total = None if args.frames is None else args.frames * len(sinks)
    progress = Progress(total=total, seconds=args.seconds)
    began = time.monotonic()
    deadline = None if args.seconds is None else began + args.seconds
    # The recorder's own sink goes last: closing its stream finishes the file.
    streams = [FrameStream(camera, [sink]) for (camera, _), sink in zip(cameras, sinks)]
    failure: SinkFailed | None = None
    try:
        while deadline is None or time.monotonic() < deadline:
            if all(sink.done.wait(_PROGRESS_INTERVAL_S) for sink in sinks):
                break
            progress.update(sum(sink.passed for sink in sinks))
            for stream in streams:
                stream.raise_if_failed()
    except SinkFailed as failed:
        failure = failed
    finally:
        progress.update(sum(sink.passed for sink in sinks))
        progress.finish()
        for stream in reversed(streams):
            try:
                stream.close()
            except SinkFailed as failed:
                failure = failure or failed
        for camera, _ in cameras:
            camera.stop()
    elapsed = time.monotonic() - began
    if failure is not None:
        print(f"error: {failure}", file=sys.stderr)
        return 1
    dropped = recorder.dropped + sum(
        entry.dropped for stream in streams for entry in stream.statistics()
    )
    count = sum(sink.passed for sink in sinks)
    print(
        f"{count} frames in {elapsed:.2f} s ({count / elapsed:.1f} fps): "
        f"{recorder.written} written, {dropped} dropped -> {args.output}"
    )
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
