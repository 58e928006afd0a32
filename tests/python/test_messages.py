"""ROS 2 message encoding shared by recording and live publishing."""

import numpy as np
import pytest

from quorvan import messages


def test_planes_round_trip_exactly_with_their_encoding():
    raw = (np.arange(4 * 3 * 5, dtype=np.int16) - 30).reshape(4, 3, 5)
    image = messages.decode_image(messages.encode_image(raw, 1_234_567))
    assert image.encoding == "16SC1"
    assert image.stamp_ns == 1_234_567_000_000
    assert messages.stamp_ns_to_ms(image.stamp_ns) == 1_234_567
    np.testing.assert_array_equal(image.pixels, raw.reshape(12, 5))
    floats = np.array([[np.nan, -0.0, 1e-38], [np.inf, 3.5, -2.25]], dtype=np.float32)
    decoded = messages.decode_image(messages.encode_image(floats, 0)).pixels
    assert decoded.dtype == np.float32
    assert decoded.tobytes() == floats.tobytes()


@pytest.mark.parametrize("plane", [np.zeros((2, 2), np.float64), np.zeros(4, np.int16)])
def test_planes_without_an_image_encoding_are_refused(plane):
    with pytest.raises(ValueError):
        messages.encode_image(plane, 0)


def test_camera_info_keeps_the_intrinsics():
    intrinsics = messages.nominal_intrinsics(640, 480)
    assert intrinsics.fx == pytest.approx(320 / np.tan(np.radians(35)))
    decoded = messages.decode_camera_info(messages.encode_camera_info(intrinsics, 2500))
    assert decoded.intrinsics == intrinsics
    assert decoded.stamp_ns == 2_500_000_000
