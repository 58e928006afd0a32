"""ROS 2 message types of Quorvan recordings and live streams, and their CDR encoding.

Every tool of this package (recorder, playback camera, live publisher, viewer)
speaks the same two ROS 2 message types, so that ``ros2 bag``, MCAP viewers and
plain Python open what they write:

- ``sensor_msgs/msg/Image``: one picture. Raw phase frames are ``16SC1``
  (signed 16-bit samples, the camera's ``RawData.getRawData()`` as it is, all
  sub-frames stacked into one image of ``subframes * height`` rows); depth is
  ``32FC1`` in metres (the camera delivers millimetres; :func:`depth_to_metres`
  converts, dividing by 1000 in 32-bit float); amplitude and confidence are
  ``32FC1`` as the camera delivers them.
- ``sensor_msgs/msg/CameraInfo``: the pinhole intrinsics (:class:`Intrinsics`).
- ``sensor_msgs/msg/CompressedImage`` of format ``16UC1; compressedDepth rvl``:
  depth compressed losslessly as 16-bit millimetres (0 where invalid), in the
  layout ROS's compressed-depth image transport decodes.
- ``sensor_msgs/msg/PointCloud2``: an organised cloud of float32 x, y, z.

Topics (:data:`TOPIC_RAW`, :data:`TOPIC_DEPTH`, :data:`TOPIC_AMPLITUDE`,
:data:`TOPIC_CONFIDENCE`, :data:`TOPIC_CAMERA_INFO`) and the frame id
:data:`FRAME_ID` are shared by recording and live publishing.

Encoding (all return CDR bytes with the little-endian encapsulation header,
which is what an MCAP channel with ``message_encoding="cdr"`` carries)::

    encode_image(plane, stamp_ms)            # int16 -> 16SC1, float32 -> 32FC1
    encode_camera_info(intrinsics, stamp_ms)
    encode_compressed_depth(depth_mm, stamp_ms)  # uint16 or float32 millimetres
    encode_point_cloud(points, stamp_ms)         # float32 (height, width, 3)

Decoding::

    image = decode_image(data)               # DecodedImage(stamp_ns, frame_id, encoding, pixels)
    info = decode_camera_info(data)          # DecodedCameraInfo(stamp_ns, frame_id, intrinsics)

Timestamps: ``stamp_ms`` is the camera's frame timestamp in milliseconds
(``getFrameFormat().timestamp``); ``header.stamp`` carries it as seconds and
nanoseconds, and the decoders give it back as nanoseconds
(:func:`stamp_ns_to_ms` turns that back into the camera's milliseconds).

Schemas: :data:`IMAGE_SCHEMA`, :data:`CAMERA_INFO_SCHEMA`,
:data:`COMPRESSED_IMAGE_SCHEMA` and :data:`POINT_CLOUD2_SCHEMA` are
:class:`Schema` values (ROS 2 type name and concatenated ``.msg`` text, the
form MCAP files and Foxglove channels register with encoding ``ros2msg``).

The encoders are the extension module's native CDR writer
(``QuorvanMessageEncoder``), which writes each message in one pass straight
from the plane into one ``bytes`` object; its output is byte for byte what
mcap_ros2's and rosbags' serializers write (the tests compare). The decoders
are mcap_ros2's public decoder factory over these schema texts, so what we
read is what every other ROS 2 reader parses.

Intrinsics: when a camera does not report its own, :func:`nominal_intrinsics`
gives the nominal pinhole of the sensor: square pixels, the principal point at
the image centre, the focal length from a horizontal field of view
(:data:`NOMINAL_HORIZONTAL_FOV_DEG`, 70 degrees, the lens of the kit), no
distortion.
"""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np
import numpy.typing as npt
from mcap.records import Schema as McapSchema
from mcap_ros2.decoder import DecoderFactory

from QuorvanDepthCamera import QuorvanMessageEncoder

TOPIC_RAW = "/quorvan/raw"
TOPIC_DEPTH = "/quorvan/depth"
TOPIC_AMPLITUDE = "/quorvan/amplitude"
TOPIC_CONFIDENCE = "/quorvan/confidence"
TOPIC_CAMERA_INFO = "/quorvan/camera_info"
IMAGE_TOPICS = (TOPIC_RAW, TOPIC_DEPTH, TOPIC_AMPLITUDE, TOPIC_CONFIDENCE)
FRAME_ID = "quorvan_optical_frame"

ENCODING_RAW = "16SC1"
ENCODING_FLOAT = "32FC1"

NOMINAL_HORIZONTAL_FOV_DEG = 70.0

_SEPARATOR = "=" * 80

_TIME_MSG = """int32 sec
uint32 nanosec
"""

_HEADER_MSG = """builtin_interfaces/Time stamp
string frame_id
"""

_ROI_MSG = """uint32 x_offset
uint32 y_offset
uint32 height
uint32 width
bool do_rectify
"""

_IMAGE_MSG = """std_msgs/Header header
uint32 height
uint32 width
string encoding
uint8 is_bigendian
uint32 step
uint8[] data
"""

_CAMERA_INFO_MSG = """std_msgs/Header header
uint32 height
uint32 width
string distortion_model
float64[] d
float64[9] k
float64[9] r
float64[12] p
uint32 binning_x
uint32 binning_y
sensor_msgs/RegionOfInterest roi
"""


def _concatenate(main: str, *dependencies: tuple[str, str]) -> str:
    parts = [main]
    for name, text in dependencies:
        parts.append(f"{_SEPARATOR}\nMSG: {name}\n{text}")
    return "\n".join(parts)


@dataclass(frozen=True)
class Schema:
    """A ROS 2 message type: its full name and its concatenated definition text."""

    name: str
    text: str

    @property
    def data(self) -> bytes:
        """The definition as the bytes of an MCAP schema record."""
        return self.text.encode()


IMAGE_SCHEMA = Schema(
    "sensor_msgs/msg/Image",
    _concatenate(
        _IMAGE_MSG,
        ("std_msgs/Header", _HEADER_MSG),
        ("builtin_interfaces/Time", _TIME_MSG),
    ),
)
CAMERA_INFO_SCHEMA = Schema(
    "sensor_msgs/msg/CameraInfo",
    _concatenate(
        _CAMERA_INFO_MSG,
        ("std_msgs/Header", _HEADER_MSG),
        ("builtin_interfaces/Time", _TIME_MSG),
        ("sensor_msgs/RegionOfInterest", _ROI_MSG),
    ),
)
_COMPRESSED_IMAGE_MSG = """std_msgs/Header header
string format
uint8[] data
"""

_POINT_FIELD_MSG = """uint8 INT8=1
uint8 UINT8=2
uint8 INT16=3
uint8 UINT16=4
uint8 INT32=5
uint8 UINT32=6
uint8 FLOAT32=7
uint8 FLOAT64=8
string name
uint32 offset
uint8 datatype
uint32 count
"""

_POINT_CLOUD2_MSG = """std_msgs/Header header
uint32 height
uint32 width
sensor_msgs/PointField[] fields
bool is_bigendian
uint32 point_step
uint32 row_step
uint8[] data
bool is_dense
"""

COMPRESSED_IMAGE_SCHEMA = Schema(
    "sensor_msgs/msg/CompressedImage",
    _concatenate(
        _COMPRESSED_IMAGE_MSG,
        ("std_msgs/Header", _HEADER_MSG),
        ("builtin_interfaces/Time", _TIME_MSG),
    ),
)
POINT_CLOUD2_SCHEMA = Schema(
    "sensor_msgs/msg/PointCloud2",
    _concatenate(
        _POINT_CLOUD2_MSG,
        ("std_msgs/Header", _HEADER_MSG),
        ("builtin_interfaces/Time", _TIME_MSG),
        ("sensor_msgs/PointField", _POINT_FIELD_MSG),
    ),
)
COMPRESSED_DEPTH_FORMAT = "16UC1; compressedDepth rvl"
SCHEMA_ENCODING = "ros2msg"
MESSAGE_ENCODING = "cdr"

_ENCODING_DTYPES: dict[str, np.dtype[Any]] = {
    ENCODING_RAW: np.dtype("<i2"),
    ENCODING_FLOAT: np.dtype("<f4"),
    # Depth in whole millimetres, as ROS's 16-bit depth images carry it.
    "16UC1": np.dtype("<u2"),
}

_decoder_factory = DecoderFactory()
_decoders: dict[str, Callable[[bytes], Any]] = {}
# The decoder factory keys its cache by schema id; each of our schemas has its own.
_SCHEMA_IDS = {
    IMAGE_SCHEMA.name: 1,
    CAMERA_INFO_SCHEMA.name: 2,
    COMPRESSED_IMAGE_SCHEMA.name: 3,
    POINT_CLOUD2_SCHEMA.name: 4,
}


def _decoder(schema: Schema) -> Callable[[bytes], Any]:
    decoder = _decoders.get(schema.name)
    if decoder is None:
        record = McapSchema(
            id=_SCHEMA_IDS[schema.name],
            name=schema.name,
            encoding=SCHEMA_ENCODING,
            data=schema.data,
        )
        found: Callable[[bytes], Any] | None = _decoder_factory.decoder_for(
            MESSAGE_ENCODING, record
        )
        if found is None:
            raise ValueError(f"no CDR decoder for {schema.name}")
        decoder = found
        _decoders[schema.name] = decoder
    return decoder


def _stamp(stamp_ms: int) -> tuple[int, int]:
    """``header.stamp`` (seconds, nanoseconds) of a millisecond timestamp."""
    seconds, milliseconds = divmod(int(stamp_ms), 1000)
    return seconds, milliseconds * 1_000_000


def _stamp_ns(header: Any) -> int:
    return int(header.stamp.sec) * 1_000_000_000 + int(header.stamp.nanosec)


def stamp_ns_to_ms(stamp_ns: int) -> int:
    """The camera's millisecond timestamp from a decoded ``header.stamp`` in nanoseconds."""
    return stamp_ns // 1_000_000


def depth_to_metres(depth_mm: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    """Depth in metres, as ROS expects it, from the camera's millimetres (float32 throughout)."""
    return np.divide(depth_mm, np.float32(1000.0), dtype=np.float32)


def encode_image(plane: npt.NDArray[Any], stamp_ms: int, frame_id: str = FRAME_ID) -> bytes:
    """CDR bytes of a ``sensor_msgs/msg/Image`` holding ``plane``.

    ``plane`` is a 2-D int16 array (encoded ``16SC1``) or float32 array
    (``32FC1``); a 3-D array of sub-frames is stacked into one image. Raises
    ``ValueError`` for any other shape or type.
    """
    # A whole number of milliseconds as nanoseconds gives the same (sec, nanosec).
    return encode_image_at(plane, int(stamp_ms) * 1_000_000, frame_id)


@dataclass(frozen=True)
class _DecodedHeader:
    """The ``std_msgs/msg/Header`` every decoded message begins with: ``header.stamp``
    in nanoseconds and the frame id."""

    stamp_ns: int
    frame_id: str


@dataclass(frozen=True)
class DecodedImage(_DecodedHeader):
    """A decoded ``sensor_msgs/msg/Image``; ``pixels`` is a read-only view of the message."""

    encoding: str
    pixels: npt.NDArray[Any]


def _deserialize(schema: Schema, data: bytes) -> Any:
    """The message in ``data``; ``ValueError`` for bytes that are not one.

    The bytes come from files and from any peer on the bus, and the CDR
    reader fails on damaged input in many ways of its own (short reads,
    undecodable strings, absurd lengths); callers see one.
    """
    try:
        return _decoder(schema)(bytes(data))
    except (
        ValueError,
        TypeError,
        IndexError,
        KeyError,
        UnicodeDecodeError,
        OverflowError,
        MemoryError,
        struct.error,
    ) as error:
        raise ValueError(f"not a {schema.name} message: {type(error).__name__}: {error}") from None


def decode_image(data: bytes) -> DecodedImage:
    """The picture in ``sensor_msgs/msg/Image`` CDR bytes (``16SC1``, ``16UC1`` or ``32FC1``).

    Raises ``ValueError`` for bytes that are not such a message, another
    encoding or a data size that does not match the stated height, width and
    step.
    """
    message = _deserialize(IMAGE_SCHEMA, data)
    dtype = _ENCODING_DTYPES.get(message.encoding)
    if dtype is None:
        raise ValueError(f"unsupported image encoding {message.encoding!r}")
    if message.is_bigendian:
        dtype = dtype.newbyteorder(">")
    height, width, step = int(message.height), int(message.width), int(message.step)
    payload = message.data
    if step < width * dtype.itemsize or len(payload) != height * step:
        raise ValueError(
            f"image data of {len(payload)} bytes does not hold {height} rows of {step} bytes"
        )
    rows = np.frombuffer(payload, dtype=np.uint8).reshape(height, step)
    pixels = rows[:, : width * dtype.itemsize].view(dtype)
    return DecodedImage(
        _stamp_ns(message.header), str(message.header.frame_id), str(message.encoding), pixels
    )


@dataclass(frozen=True)
class Intrinsics:
    """Pinhole intrinsics of a camera: focal lengths and principal point in pixels."""

    width: int
    height: int
    fx: float
    fy: float
    cx: float
    cy: float
    distortion_model: str = "plumb_bob"
    distortion: tuple[float, ...] = field(default=(0.0, 0.0, 0.0, 0.0, 0.0))

    @property
    def k(self) -> tuple[float, ...]:
        """The 3x3 camera matrix, row by row."""
        return (self.fx, 0.0, self.cx, 0.0, self.fy, self.cy, 0.0, 0.0, 1.0)

    @property
    def p(self) -> tuple[float, ...]:
        """The 3x4 projection matrix of a single (unrectified, monocular) camera."""
        return (self.fx, 0.0, self.cx, 0.0, 0.0, self.fy, self.cy, 0.0, 0.0, 0.0, 1.0, 0.0)


def nominal_intrinsics(
    width: int, height: int, horizontal_fov_deg: float = NOMINAL_HORIZONTAL_FOV_DEG
) -> Intrinsics:
    """The nominal pinhole of a ``width`` x ``height`` sensor with the given horizontal view.

    Square pixels, no distortion; the principal point is the image centre in
    ROS pixel coordinates (pixel centres at whole numbers).
    """
    focal = 0.5 * width / math.tan(math.radians(horizontal_fov_deg) / 2.0)
    return Intrinsics(width, height, focal, focal, (width - 1) / 2.0, (height - 1) / 2.0)


def encode_camera_info(intrinsics: Intrinsics, stamp_ms: int, frame_id: str = FRAME_ID) -> bytes:
    """CDR bytes of a ``sensor_msgs/msg/CameraInfo`` for ``intrinsics``."""
    return encode_camera_info_at(intrinsics, int(stamp_ms) * 1_000_000, frame_id)


@dataclass(frozen=True)
class DecodedCameraInfo(_DecodedHeader):
    """A decoded ``sensor_msgs/msg/CameraInfo``."""

    intrinsics: Intrinsics


def decode_camera_info(data: bytes) -> DecodedCameraInfo:
    """The intrinsics in ``sensor_msgs/msg/CameraInfo`` CDR bytes; ``ValueError`` when damaged."""
    message = _deserialize(CAMERA_INFO_SCHEMA, data)
    k = [float(value) for value in message.k]
    if len(k) != 9 or not all(math.isfinite(value) for value in k):
        raise ValueError("camera info with a camera matrix that is not 9 finite numbers")
    intrinsics = Intrinsics(
        int(message.width),
        int(message.height),
        k[0],
        k[4],
        k[2],
        k[5],
        str(message.distortion_model),
        tuple(float(value) for value in message.d),
    )
    return DecodedCameraInfo(_stamp_ns(message.header), str(message.header.frame_id), intrinsics)


def encode_compressed_depth(
    depth_mm: npt.NDArray[Any], stamp_ms: int, frame_id: str = FRAME_ID
) -> bytes:
    """CDR bytes of a ``sensor_msgs/msg/CompressedImage`` of lossless depth.

    ``depth_mm`` is a 2-D uint16 array of millimetres, or float32 millimetres
    as the camera delivers them (rounded to whole millimetres; NaN, <= 0 and
    > 65535 become 0, "no depth"). The format is :data:`COMPRESSED_DEPTH_FORMAT`.
    Raises ``ValueError`` for another shape or type.
    """
    seconds, nanoseconds = _stamp(stamp_ms)
    return QuorvanMessageEncoder.compressedDepth(
        np.asarray(depth_mm), seconds, nanoseconds, frame_id
    )


def encode_point_cloud(
    points: npt.NDArray[np.float32],
    stamp_ms: int,
    frame_id: str = FRAME_ID,
    is_dense: bool = False,
) -> bytes:
    """CDR bytes of a ``sensor_msgs/msg/PointCloud2`` of an organised cloud.

    ``points`` has the shape (height, width, 3): x, y, z of every pixel in
    metres (float32 fields "x", "y", "z"). ``is_dense`` says that no point
    is invalid.
    """
    seconds, nanoseconds = _stamp(stamp_ms)
    return QuorvanMessageEncoder.pointCloud(points, seconds, nanoseconds, frame_id, is_dense)


def encode_image_at(plane: npt.NDArray[Any], stamp_ns: int, frame_id: str = FRAME_ID) -> bytes:
    """:func:`encode_image` with ``header.stamp`` given in nanoseconds (host real time)."""
    array = np.asarray(plane)
    if array.ndim == 3:
        array = array.reshape(-1, array.shape[-1])
    if array.ndim != 2:
        raise ValueError(f"an image needs a 2-D plane, not {array.ndim}-D")
    if array.dtype == np.int16:
        encoding = ENCODING_RAW
    elif array.dtype == np.float32:
        encoding = ENCODING_FLOAT
    else:
        raise ValueError(f"no image encoding for samples of type {array.dtype}")
    little_endian = array.astype(_ENCODING_DTYPES[encoding], copy=False)
    seconds, nanoseconds = divmod(int(stamp_ns), 1_000_000_000)
    return QuorvanMessageEncoder.image(little_endian, seconds, nanoseconds, frame_id)


def encode_camera_info_at(intrinsics: Intrinsics, stamp_ns: int, frame_id: str = FRAME_ID) -> bytes:
    """:func:`encode_camera_info` with ``header.stamp`` given in nanoseconds."""
    seconds, nanoseconds = divmod(int(stamp_ns), 1_000_000_000)
    return QuorvanMessageEncoder.cameraInfo(
        intrinsics.width,
        intrinsics.height,
        intrinsics.distortion_model,
        list(intrinsics.distortion),
        list(intrinsics.k),
        [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0],
        list(intrinsics.p),
        seconds,
        nanoseconds,
        frame_id,
    )


__all__ = [
    "CAMERA_INFO_SCHEMA",
    "COMPRESSED_DEPTH_FORMAT",
    "COMPRESSED_IMAGE_SCHEMA",
    "DecodedCameraInfo",
    "DecodedImage",
    "ENCODING_FLOAT",
    "ENCODING_RAW",
    "FRAME_ID",
    "IMAGE_SCHEMA",
    "IMAGE_TOPICS",
    "Intrinsics",
    "MESSAGE_ENCODING",
    "NOMINAL_HORIZONTAL_FOV_DEG",
    "POINT_CLOUD2_SCHEMA",
    "SCHEMA_ENCODING",
    "Schema",
    "TOPIC_AMPLITUDE",
    "TOPIC_CAMERA_INFO",
    "TOPIC_CONFIDENCE",
    "TOPIC_DEPTH",
    "TOPIC_RAW",
    "decode_camera_info",
    "decode_image",
    "depth_to_metres",
    "encode_camera_info",
    "encode_camera_info_at",
    "encode_compressed_depth",
    "encode_image",
    "encode_image_at",
    "encode_point_cloud",
    "nominal_intrinsics",
    "stamp_ns_to_ms",
]
