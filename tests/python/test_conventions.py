"""Names, frames and stamps shared by every output."""

from __future__ import annotations

import pytest

from quorvan import conventions


def test_default_namespace_keeps_the_frame_id_of_earlier_recordings() -> None:
    topics = conventions.CameraTopics.for_namespace()
    assert topics.frame_id == "quorvan_optical_frame"
    assert topics.depth == "/quorvan/depth/image_raw"
    assert topics.compressed_depth == "/quorvan/depth/image_raw/compressedDepth"


@pytest.mark.parametrize(
    ("given", "absolute", "frame_id"),
    [
        ("cam0", "/cam0", "cam0_optical_frame"),
        ("/robot/front/", "/robot/front", "front_optical_frame"),
    ],
)
def test_namespaces_are_made_absolute_and_name_the_optical_frame(
    given: str, absolute: str, frame_id: str
) -> None:
    topics = conventions.CameraTopics.for_namespace(given)
    assert (topics.namespace, topics.frame_id) == (absolute, frame_id)
    assert topics.for_plane(conventions.PLANE_CAMERA_INFO) == f"{absolute}/depth/camera_info"
    assert {topics.for_plane(plane) for plane in conventions.PLANES} == {
        topics.raw,
        topics.depth,
        topics.amplitude,
        topics.confidence,
        topics.depth_camera_info,
        topics.compressed_depth,
        topics.points,
    }


@pytest.mark.parametrize(
    "bad", ["", "/", "//a", "a//b", "0cam", "cam-0", "ca m", "a__b", "x" * 201]
)
def test_names_ros_would_refuse_are_refused(bad: str) -> None:
    with pytest.raises(ValueError):
        conventions.normalise_namespace(bad)


def test_channel_metadata_names_plane_and_namespace() -> None:
    topics = conventions.CameraTopics.for_namespace("/cam1")
    assert topics.channel_metadata("depth") == {
        "quorvan.plane": "depth",
        "quorvan.namespace": "/cam1",
    }
    with pytest.raises(ValueError):
        topics.channel_metadata("colour")


def test_stamps_split_into_seconds_and_nanoseconds() -> None:
    assert conventions.stamp_parts(1_700_000_000_123_456_789) == (1_700_000_000, 123_456_789)
    assert conventions.stamp_parts(-1) == (-1, 999_999_999)


@pytest.mark.parametrize("serial, token", [("QVK-000001", "qvk_000001"), ("123", "cam_123"),
                                           ("--", "cam"), ("a__b", "a_b")])
def test_serial_numbers_become_namespace_tokens_ros_accepts(serial, token):
    assert conventions.name_token(serial) == token
    assert conventions.normalise_namespace(f"/rig/{token}") == f"/rig/{token}"
