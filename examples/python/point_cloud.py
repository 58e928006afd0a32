"""Takes one depth frame (by default from the emulated USB evaluation kit),
cleans it with the depth filters, turns it into a point cloud through the
camera's intrinsics, writes it as a PLY file (open it in any viewer) and
draws the cloud seen from the side as a PNG picture.

    python examples/python/point_cloud.py --output examples/output
"""

import argparse
import pathlib
import sys

import numpy as np

import QuorvanDepthCamera as qdc
from quorvan.depth_picture import write_png
from quorvan.viewer.pictures import turbo

FRAME_TIMEOUT_MS = 2000
MIN_AMPLITUDE = 20.0 * 16  # the 240x180 device's amplitude is 16x the sample value
SIDE_VIEW_SIZE = 480


def write_ply(path, points, grey):
    """Binary little-endian PLY of the finite points, coloured by amplitude."""
    finite = np.isfinite(points).all(axis=-1)
    xyz = points[finite].astype("<f4")
    colours = np.repeat(grey[finite][:, None], 3, axis=1).astype(np.uint8)
    header = ("ply\nformat binary_little_endian 1.0\ncomment units millimetres\n"
              f"element vertex {len(xyz)}\nproperty float x\nproperty float y\nproperty float z\n"
              "property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n")
    vertex = np.dtype([("xyz", "<f4", 3), ("rgb", "u1", 3)])
    body = np.empty(len(xyz), vertex)
    body["xyz"], body["rgb"] = xyz, colours
    pathlib.Path(path).write_bytes(header.encode() + body.tobytes())
    return len(xyz)


def side_view(points):
    """The cloud seen from the camera's right: depth (z) across, height (-y)
    up, each point coloured by its x (near the viewer is blue)."""
    finite = np.isfinite(points).all(axis=-1)
    x, y, z = (points[finite][:, i] for i in range(3))
    picture = np.zeros((SIDE_VIEW_SIZE, SIDE_VIEW_SIZE, 3), np.uint8)
    if z.size == 0:
        return picture
    span = max(z.max(), -y.min(), y.max(), 1.0) * 1.05
    column = np.clip(z / span * (SIDE_VIEW_SIZE - 1), 0, SIDE_VIEW_SIZE - 1).astype(int)
    row = np.clip((0.5 + y / (2 * span)) * (SIDE_VIEW_SIZE - 1), 0, SIDE_VIEW_SIZE - 1).astype(int)
    # Far points first, so nearer ones (smaller x from the right) paint over them.
    order = np.argsort(x)
    picture[row[order], column[order]] = turbo(
        (x[order] - x.min()) / max(np.ptp(x), 1.0))
    return picture


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--config", help="emulated kit configuration file (default: built-in kit)")
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("examples/output"))
    args = parser.parse_args()

    with qdc.QuorvanCamera() as camera:
        status = (camera.openWithFile(args.config) if args.config
                  else camera.open(qdc.TOFConnect.USB, 0))
        if status != qdc.TOFErrorCode.QuorvanSuccess:
            print(f"cannot open the camera: {status.str()}", file=sys.stderr)
            return 1
        if camera.start(qdc.TOFOutput.DEPTH) != qdc.TOFErrorCode.QuorvanSuccess:
            print("cannot start streaming", file=sys.stderr)
            return 1
        intrinsics = camera.getIntrinsics()
        frame = camera.requestFrame(FRAME_TIMEOUT_MS)
        if frame is None:
            print(f"no frame within {FRAME_TIMEOUT_MS} ms", file=sys.stderr)
            return 1
        with frame:
            depth = frame.getDepthData()
            amplitude = frame.getAmplitudeData()

    print(f"intrinsics: {intrinsics}")
    depth = qdc.QuorvanFilters.thresholdAmplitude(depth, amplitude, MIN_AMPLITUDE)
    depth = qdc.QuorvanFilters.removeFlyingPixels(depth)
    points = qdc.QuorvanDeprojector(intrinsics).deproject(depth)
    top = max(float(np.percentile(amplitude, 99)), 1e-6)
    grey = (np.sqrt(np.clip(amplitude / top, 0, 1)) * 255).astype(np.uint8)

    args.output.mkdir(parents=True, exist_ok=True)
    ply_path = args.output / "cloud.ply"
    picture_path = args.output / "cloud_side.png"
    count = write_ply(ply_path, points, grey)
    write_png(picture_path, side_view(points))
    print(f"{count} points: {ply_path.resolve()}")
    print(f"side view: {picture_path.resolve()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
