"""The native message encoder against two independent ROS 2 serializers.

Each message is encoded three ways: by QuorvanMessageEncoder, by mcap_ros2's
public writer (read back raw through mcap's reader) and by rosbags'
typestore, and the three byte strings must agree. The sizes and frame ids
are chosen so that every member lands on each alignment: widths of 1, odd
heights, empty, odd-length, long and multi-byte UTF-8 frame ids.
"""

from __future__ import annotations

import io
from typing import Any, Dict, List

import numpy as np
import pytest
from mcap.reader import make_reader
from mcap_ros2.writer import Writer
from rosbags.typesys import Stores, get_typestore

import QuorvanDepthCamera as qdc
from quorvan import messages

Encoder = qdc.QuorvanMessageEncoder
Codec = qdc.QuorvanDepthCodec

TYPESTORE = get_typestore(Stores.ROS2_JAZZY)
FRAME_IDS = ["", "a", "ab", "abc", "quorvan_optical_frame", "f" * 257, "kamera_ü_optisch_€"]
SHAPES = [(1, 1), (1, 7), (3, 1), (5, 3), (2, 2), (7, 5)]
STAMP = (1_700_000_123, 999_999_999)

_SCHEMA_TEXTS = {schema.name: schema.text for schema in (
    messages.IMAGE_SCHEMA, messages.CAMERA_INFO_SCHEMA, messages.COMPRESSED_IMAGE_SCHEMA,
    messages.POINT_CLOUD2_SCHEMA)}


def mcap_ros2_bytes(type_name: str, message: Dict[str, Any]) -> bytes:
    """What mcap_ros2's writer stores for `message`, read back as raw bytes."""
    stream = io.BytesIO()
    writer = Writer(stream)
    schema = writer.register_msgdef(type_name, _SCHEMA_TEXTS[type_name])
    writer.write_message("/t", schema, message, log_time=0, publish_time=0)
    writer.finish()  # type: ignore[no-untyped-call]
    stream.seek(0)
    records = [m for _, _, m in make_reader(stream).iter_messages()]
    assert len(records) == 1
    return bytes(records[0].data)


def rosbags_bytes(type_name: str, message: Dict[str, Any]) -> bytes:
    return bytes(TYPESTORE.serialize_cdr(_rosbags_message(type_name, message), type_name))


def _rosbags_message(type_name: str, fields: Dict[str, Any]) -> Any:
    """A rosbags message object built from the nested dict of mcap_ros2's form."""
    cls = TYPESTORE.types[type_name]
    values = {}
    for name, value in fields.items():
        if name == "header":
            value = TYPESTORE.types["std_msgs/msg/Header"](
                stamp=TYPESTORE.types["builtin_interfaces/msg/Time"](**value["stamp"]),
                frame_id=value["frame_id"])
        elif name == "roi":
            value = TYPESTORE.types["sensor_msgs/msg/RegionOfInterest"](**value)
        elif name == "fields":
            value = [TYPESTORE.types["sensor_msgs/msg/PointField"](**f) for f in value]
        elif name == "data":
            value = np.frombuffer(value, dtype=np.uint8)
        elif name in ("d", "k", "r", "p"):
            value = np.array(value, dtype=np.float64)
        values[name] = value
    return cls(**values)


def assert_matches_both(type_name: str, native: bytes, message: Dict[str, Any]) -> None:
    assert isinstance(native, bytes)
    assert native == mcap_ros2_bytes(type_name, message)
    assert native == rosbags_bytes(type_name, message)


def header(frame_id: str) -> Dict[str, Any]:
    return {"stamp": {"sec": STAMP[0], "nanosec": STAMP[1]}, "frame_id": frame_id}


@pytest.mark.parametrize("frame_id", FRAME_IDS)
@pytest.mark.parametrize("dtype, encoding", [(np.int16, "16SC1"), (np.uint16, "16UC1"),
                                             (np.float32, "32FC1")])
def test_image_matches_both_serializers(frame_id: str, dtype: Any, encoding: str) -> None:
    rng = np.random.default_rng(len(frame_id))
    for height, width in SHAPES:
        plane = rng.integers(-30000 if dtype == np.int16 else 0, 30000,
                             size=(height, width)).astype(dtype)
        native = Encoder.image(plane, STAMP[0], STAMP[1], frame_id)
        assert_matches_both("sensor_msgs/msg/Image", native, {
            "header": header(frame_id), "height": height, "width": width,
            "encoding": encoding, "is_bigendian": 0,
            "step": width * plane.itemsize, "data": plane.tobytes()})


def test_image_of_a_stack_or_a_strided_view_is_the_contiguous_image() -> None:
    stack = np.arange(2 * 3 * 5, dtype=np.int16).reshape(2, 3, 5)
    assert Encoder.image(stack, 0, 0, "") == Encoder.image(stack.reshape(6, 5), 0, 0, "")
    wide = np.arange(6 * 8, dtype=np.float32).reshape(6, 8)
    view = wide[::2, 1::3]
    assert Encoder.image(view, 0, 0, "x") == Encoder.image(view.copy(), 0, 0, "x")


@pytest.mark.parametrize("plane", [np.zeros((2, 2), np.float64), np.zeros((2, 2), ">f4"),
                                   np.zeros(4, np.float32), np.zeros((1, 1, 1, 1), np.int16)])
def test_image_refuses_what_has_no_encoding(plane: Any) -> None:
    with pytest.raises(ValueError):
        Encoder.image(plane, 0, 0, "")


@pytest.mark.parametrize("frame_id", FRAME_IDS)
@pytest.mark.parametrize("distortion", [[], [0.1], [0.1, -0.2, 0.001, 0.002, 0.3]])
def test_camera_info_matches_both_serializers(frame_id: str, distortion: List[float]) -> None:
    for model in ("", "plumb_bob", "rational_polynomial"):
        k = [500.5, 0.0, 319.5, 0.0, 501.25, 239.5, 0.0, 0.0, 1.0]
        r = [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0]
        p = [500.5, 0.0, 319.5, 0.0, 0.0, 501.25, 239.5, 0.0, 0.0, 0.0, 1.0, 0.0]
        roi = (3, 5, 7, 11, True)
        native = Encoder.cameraInfo(641, 479, model, distortion, k, r, p, STAMP[0], STAMP[1],
                                    frame_id, 2, 3, roi)
        assert_matches_both("sensor_msgs/msg/CameraInfo", native, {
            "header": header(frame_id), "height": 479, "width": 641,
            "distortion_model": model, "d": distortion, "k": k, "r": r, "p": p,
            "binning_x": 2, "binning_y": 3,
            "roi": {"x_offset": 3, "y_offset": 5, "height": 7, "width": 11,
                    "do_rectify": True}})


def test_camera_info_refuses_matrices_of_the_wrong_size() -> None:
    eye = [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0]
    with pytest.raises(ValueError, match="k needs 9"):
        Encoder.cameraInfo(1, 1, "", [], eye[:8], eye, [0.0] * 12, 0, 0, "")
    with pytest.raises(ValueError, match="p needs 12"):
        Encoder.cameraInfo(1, 1, "", [], eye, eye, [0.0] * 9, 0, 0, "")


@pytest.mark.parametrize("frame_id", FRAME_IDS)
def test_compressed_image_matches_both_serializers(frame_id: str) -> None:
    for size in (0, 1, 3, 4, 1001):
        data = bytes(range(256)) * 4
        for fmt in ("", "png", Encoder.COMPRESSED_DEPTH_FORMAT):
            native = Encoder.compressedImage(fmt, memoryview(data[:size]), STAMP[0], STAMP[1],
                                             frame_id)
            assert_matches_both("sensor_msgs/msg/CompressedImage", native, {
                "header": header(frame_id), "format": fmt, "data": data[:size]})


@pytest.mark.parametrize("frame_id", FRAME_IDS)
def test_compressed_depth_is_a_compressed_image_of_the_codec_data(frame_id: str) -> None:
    depth = np.random.default_rng(7).integers(0, 5000, size=(5, 3)).astype(np.uint16)
    depth[1, :] = 0
    data = Codec.compress(depth)
    native = Encoder.compressedDepth(depth, STAMP[0], STAMP[1], frame_id)
    assert_matches_both("sensor_msgs/msg/CompressedImage", native, {
        "header": header(frame_id), "format": "16UC1; compressedDepth rvl", "data": data})


@pytest.mark.parametrize("frame_id", FRAME_IDS)
def test_point_cloud_matches_both_serializers(frame_id: str) -> None:
    fields = [{"name": n, "offset": 4 * i, "datatype": 7, "count": 1}
              for i, n in enumerate("xyz")]
    for height, width in SHAPES:
        points = np.random.default_rng(height).normal(size=(height, width, 3)).astype(np.float32)
        for dense in (False, True):
            native = Encoder.pointCloud(points, STAMP[0], STAMP[1], frame_id, dense)
            assert_matches_both("sensor_msgs/msg/PointCloud2", native, {
                "header": header(frame_id), "height": height, "width": width,
                "fields": fields, "is_bigendian": False, "point_step": 12,
                "row_step": 12 * width, "data": points.tobytes(), "is_dense": dense})


def test_encoders_refuse_arguments_they_cannot_encode() -> None:
    with pytest.raises(TypeError):
        Encoder.compressedImage("png", 123, 0, 0, "")  # type: ignore[arg-type]
    for points in (np.zeros((2, 3), np.float32), np.zeros((2, 3, 4), np.float32)):
        with pytest.raises(ValueError, match="shape"):
            Encoder.pointCloud(points, 0, 0, "")
    for depth in (np.zeros((2, 2), np.int32), np.zeros(4, np.uint16), np.zeros((0, 3), np.uint16)):
        with pytest.raises(ValueError):
            Encoder.compressedDepth(depth, 0, 0, "")
    with pytest.raises(TypeError):
        Encoder.image(np.zeros((1, 1), np.float32), 2**31, 0, "")  # beyond int32 seconds


def test_messages_module_wraps_the_encoder_with_millisecond_stamps() -> None:
    depth = np.array([[0.0, 1500.4, np.nan], [65535.0, 65536.0, 2.0]], np.float32)
    assert messages.encode_compressed_depth(depth, 61_001, "c") == \
        Encoder.compressedDepth(depth, 61, 1_000_000, "c")
    assert messages.COMPRESSED_DEPTH_FORMAT == Encoder.COMPRESSED_DEPTH_FORMAT
    points = np.ones((2, 3, 3), np.float32)
    assert messages.encode_point_cloud(points, -1, "p", True) == \
        Encoder.pointCloud(points, -1, 999_000_000, "p", True)


def test_messages_module_encodes_what_it_decodes() -> None:
    raw = np.arange(-7, 8, dtype=np.int16).reshape(3, 5)
    image = messages.decode_image(messages.encode_image(raw, 61_001, "ü"))
    assert (image.stamp_ns, image.frame_id, image.encoding) == (61_001_000_000, "ü", "16SC1")
    np.testing.assert_array_equal(image.pixels, raw)
    intrinsics = messages.nominal_intrinsics(9, 7)
    info = messages.decode_camera_info(messages.encode_camera_info(intrinsics, 5, ""))
    assert info.intrinsics == intrinsics and info.frame_id == "" and info.stamp_ns == 5_000_000


class TestDepthCodec:
    def test_every_16_bit_value_survives_in_both_orders(self) -> None:
        values = np.arange(65536, dtype=np.uint16)
        for depth in (values.reshape(256, 256), values[::-1].copy().reshape(128, 512)):
            np.testing.assert_array_equal(Codec.decompress(Codec.compress(depth)), depth)

    def test_random_depth_with_holes_survives(self) -> None:
        rng = np.random.default_rng(3)
        for height, width in [(1, 1), (1, 9), (7, 1), (181, 241)]:
            depth = rng.integers(0, 65536, size=(height, width)).astype(np.uint16)
            depth[rng.random(depth.shape) < 0.3] = 0
            np.testing.assert_array_equal(Codec.decompress(Codec.compress(depth)), depth)

    def test_float_millimetres_round_and_invalid_become_zero(self) -> None:
        depth = np.array([[np.nan, -1.0, 0.0, 0.4, 0.6, 1234.5, 1234.49],
                          [65535.0, 65535.01, np.inf, -np.inf, 1.0, 2.5, 3.5]], np.float32)
        expected = np.array([[0, 0, 0, 0, 1, 1234, 1234],
                             [65535, 0, 0, 0, 1, 2, 4]], np.uint16)
        np.testing.assert_array_equal(Codec.decompress(Codec.compress(depth)), expected)

    def test_truncated_or_garbage_data_raises(self) -> None:
        depth = np.random.default_rng(5).integers(1, 9000, size=(31, 17)).astype(np.uint16)
        data = Codec.compress(depth)
        for cut in (0, 3, 12, 19, 20, 24, len(data) - 4):
            with pytest.raises(ValueError):
                Codec.decompress(data[:cut])
        garbage = bytearray(data)
        garbage[12:20] = (0xFFFFFFFF).to_bytes(4, "little") * 2  # an impossible size
        with pytest.raises(ValueError, match="impossible image size"):
            Codec.decompress(bytes(garbage))
        garbage = bytearray(data[:20]) + b"\xff" * 64  # numbers beyond 32 bits
        with pytest.raises(ValueError, match="corrupt"):
            Codec.decompress(bytes(garbage))
        with pytest.raises(ValueError):
            Codec.compress(np.zeros((0, 4), np.uint16))
