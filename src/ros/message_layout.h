// The members that several messages share, as written by a CDR stream
// (CdrSizer or CdrWriter): the std_msgs/Header, and the start of a
// sensor_msgs/CompressedImage up to its data bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ros/ros_messages.h"

namespace Quorvan {
namespace ros {

template <class Stream>
void writeHeader(Stream& stream, const MessageHeader& header) {
    stream.writeInt32(header.stamp_sec);
    stream.writeUint32(header.stamp_nanosec);
    stream.writeString(header.frame_id);
}

// Returns where the `data_size` data bytes go, so that a compressor can
// write them in place (null from a CdrSizer or a failed CdrWriter).
template <class Stream>
uint8_t* writeCompressedImageStart(Stream& stream, const MessageHeader& header,
                                   std::string_view format, std::size_t data_size) {
    writeHeader(stream, header);
    stream.writeString(format);
    return stream.reserveByteSequence(data_size);
}

}  // namespace ros
}  // namespace Quorvan
