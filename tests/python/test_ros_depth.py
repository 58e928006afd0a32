"""Depth as ROS tools read it: Z along the optical axis, deprojected the way
depth_image_proc does, against the SDK's own point cloud."""

import numpy as np
import pytest

qdc = pytest.importorskip("QuorvanDepthCamera")
from quorvan import messages  # noqa: E402
from quorvan.ros_depth import depth_image_for_ros, radial_depth_from_ros  # noqa: E402


def captured(config_text, tmp_path):
    path = tmp_path / "kit.cfg"
    path.write_text(config_text)
    camera = qdc.QuorvanCamera()
    assert camera.openWithFile(str(path)) == qdc.TOFErrorCode.QuorvanSuccess
    assert camera.start(qdc.TOFOutput.DEPTH) == qdc.TOFErrorCode.QuorvanSuccess
    try:
        frame = None
        while frame is None:
            frame = camera.requestFrame(3000)
        depth = np.array(frame.getDepthData())
        cloud = np.array(frame.getPointCloud())
        camera.releaseFrame(frame)
        return depth, cloud, camera.getIntrinsics()
    finally:
        camera.stop()
        camera.close()


def depth_image_proc_points(z, intrinsics):
    """x = (u - cx) z / fx, y = (v - cy) z / fy, as depth_image_proc's point_cloud_xyz."""
    v, u = np.mgrid[0:z.shape[0], 0:z.shape[1]]
    return np.stack([(u - intrinsics.cx) * z / intrinsics.fx,
                     (v - intrinsics.cy) * z / intrinsics.fy, z], axis=-1)


def test_a_flat_wall_reads_its_distance_in_every_pixel_corners_included(tmp_path):
    depth, _, intrinsics = captured("scene = wall\nscene.distance_mm = 2000\nnoise = off\n",
                                    tmp_path)
    assert depth[0, 0] > 2600  # along the corner's ray
    metres = depth_image_for_ros(depth, intrinsics)
    assert metres.dtype == np.float32 and np.all(np.abs(metres - 2.0) <= 0.002)
    millimetres = depth_image_for_ros(depth, intrinsics, "16UC1")
    assert millimetres.dtype == np.uint16 and np.all(np.abs(millimetres.astype(int) - 2000) <= 2)


@pytest.mark.parametrize("encoding, scale", [("32FC1", 1000.0), ("16UC1", 1.0)])
def test_deprojecting_as_ros_tools_do_gives_the_sdks_points(tmp_path, encoding, scale):
    depth, cloud, intrinsics = captured("noise = off\n", tmp_path)  # the room scene
    z_mm = depth_image_for_ros(depth, intrinsics, encoding).astype(np.float64) * scale
    valid = depth > 0
    points = depth_image_proc_points(z_mm, intrinsics)
    error = np.abs(points[valid] - cloud[valid])
    # Float32 metres agree to a small fraction of a millimetre, whole millimetres to one.
    assert error.max() < (0.05 if encoding == "32FC1" else 1.0)
    # And back: the camera's distances along the rays.
    radial = radial_depth_from_ros(depth_image_for_ros(depth, intrinsics, encoding), intrinsics,
                                   encoding)
    assert np.all(np.abs(radial[valid] - depth[valid]) < (0.01 if encoding == "32FC1" else 1.5))


def test_pixels_without_depth_follow_each_encodings_convention():
    intrinsics = messages.nominal_intrinsics(4, 2)
    depth = np.array([[0.0, -5.0, np.nan, np.inf], [1000.0, 70_000.0, 0.4, 65_535.0]], np.float32)
    metres = depth_image_for_ros(depth, intrinsics)
    assert np.all(np.isnan(metres[0])) and np.all(np.isfinite(metres[1]))
    millimetres = depth_image_for_ros(depth, intrinsics, "16UC1")
    # Beyond 16 bits and below half a millimetre there is no 16UC1 sample but 0.
    assert list(millimetres[0]) == [0, 0, 0, 0] and millimetres[1, 1] == 0
    assert millimetres[1, 2] == 0 and 0 < millimetres[1, 0] <= 1000
    assert np.all(radial_depth_from_ros(metres, intrinsics)[0] == 0.0)


def test_bad_input_is_refused_with_value_error():
    intrinsics = messages.nominal_intrinsics(4, 2)
    with pytest.raises(ValueError, match="encoding"):
        depth_image_for_ros(np.zeros((2, 4), np.float32), intrinsics, "mono8")
    with pytest.raises(ValueError, match="shape"):
        depth_image_for_ros(np.zeros((4, 2), np.float32), intrinsics)
    with pytest.raises(ValueError, match="pinhole"):
        depth_image_for_ros(np.zeros((2, 4), np.float32), messages.Intrinsics(4, 2, 0, 0, 1, 1))
