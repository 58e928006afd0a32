"""Damaged recordings for the replay tests: a real recording rewritten record by record."""

import pathlib

import numpy as np
from mcap.reader import make_reader
from mcap.writer import CompressionType, Writer

import QuorvanDepthCamera as qdc
from conftest import kit_config
from quorvan import messages
from quorvan.record import Recorder, record_camera
from rosbags.typesys import Stores, get_typestore

TYPESTORE = get_typestore(Stores.ROS2_JAZZY)


def record_raw(path, frames=6, compression=False):
    """A recording of ``frames`` raw frames of the unpaced emulated kit."""
    camera = qdc.QuorvanCamera()
    assert camera.openWithFile(kit_config("unpaced.cfg"), 0) == qdc.TOFErrorCode.QuorvanSuccess
    try:
        assert camera.start(qdc.TOFOutput.RAW) == qdc.TOFErrorCode.QuorvanSuccess
        # A queue as long as the recording: no frame may be dropped.
        with Recorder(path, camera, queue_frames=frames + 1, compression=compression) as rec:
            record_camera(camera, rec, frames=frames)
        camera.stop()
    finally:
        camera.close()
    return pathlib.Path(path)


def raw_image_bytes(stamp_ms, height, width, data, encoding=messages.ENCODING_RAW, step=None):
    """CDR bytes of an Image message that may say anything about its data,
    written by an independent serializer (rosbags), which checks none of it."""
    Image = TYPESTORE.types["sensor_msgs/msg/Image"]
    Header = TYPESTORE.types["std_msgs/msg/Header"]
    Time = TYPESTORE.types["builtin_interfaces/msg/Time"]
    message = Image(
        header=Header(stamp=Time(sec=stamp_ms // 1000, nanosec=stamp_ms % 1000 * 1_000_000),
                      frame_id=messages.FRAME_ID),
        height=height, width=width, encoding=encoding, is_bigendian=0,
        step=width * 2 if step is None else step,
        data=np.frombuffer(bytes(data), np.uint8))
    return bytes(TYPESTORE.serialize_cdr(message, "sensor_msgs/msg/Image"))


def is_raw_channel(channel):
    """The raw frames' channel, by its plane metadata, else by the older fixed topic."""
    plane = channel.metadata.get("quorvan.plane")
    return plane == "raw" if plane is not None else channel.topic == messages.TOPIC_RAW


def raw_topic(path):
    """The topic of a recording's raw frames, read with mcap's own reader."""
    with open(path, "rb") as stream:
        channels = make_reader(stream).get_summary().channels.values()
        return next(channel.topic for channel in channels if is_raw_channel(channel))


def rewrite(source, target, raw=None, metadata=None, extra_metadata=(), publish_time=None):
    """Copies ``source`` into ``target``: ``raw(number, data)`` gives each raw
    message's new bytes, ``publish_time(number, time)`` its new publish time, ``metadata(name, values)`` each metadata record's new
    values (None leaves it out); ``extra_metadata`` (name, values) records are added."""
    with open(source, "rb") as stream, open(target, "wb") as out:
        reader = make_reader(stream)
        writer = Writer(out, compression=CompressionType.NONE)
        writer.start(profile="ros2", library="damage")
        channels, schemas = {}, {}
        number = 0
        for schema, channel, message in reader.iter_messages(log_time_order=False):
            if schema.id not in schemas:
                schemas[schema.id] = writer.register_schema(schema.name, schema.encoding,
                                                            schema.data)
            if channel.id not in channels:
                channels[channel.id] = writer.register_channel(
                    channel.topic, channel.message_encoding, schemas[schema.id],
                    dict(channel.metadata))
            data, published = message.data, message.publish_time
            if is_raw_channel(channel):
                if raw is not None:
                    data = raw(number, data)
                if publish_time is not None:
                    published = publish_time(number, published)
                number += 1
            writer.add_message(channels[channel.id], message.log_time, data, published)
        for record in reader.iter_metadata():
            values = dict(record.metadata)
            if metadata is not None:
                values = metadata(record.name, values)
            if values is not None:
                writer.add_metadata(record.name, values)
        for name, values in extra_metadata:
            writer.add_metadata(name, values)
        writer.finish()
    return pathlib.Path(target)
