#include "ros/ros_messages.h"

#include <limits>

#include "ros/cdr_stream.h"
#include "ros/message_layout.h"

namespace Quorvan {
namespace ros {

namespace {

// The PointField datatype constant of float32.
constexpr uint8_t kPointFieldFloat32 = 7;
constexpr uint32_t kPointStep = 3 * sizeof(float);

template <class Stream>
void writeImage(Stream& stream, const MessageHeader& header, const ImagePlane& plane) {
    const std::size_t step = plane.width * sampleSize(plane.type);
    writeHeader(stream, header);
    stream.writeUint32(plane.height);
    stream.writeUint32(plane.width);
    stream.writeString(imageEncoding(plane.type));
    stream.writeUint8(0);  // is_bigendian
    stream.writeUint32(static_cast<uint32_t>(step));
    stream.writeByteSequence(plane.samples, step * plane.height);
}

template <class Stream>
void writeCameraInfo(Stream& stream, const MessageHeader& header, const CameraInfoFields& info) {
    writeHeader(stream, header);
    stream.writeUint32(info.height);
    stream.writeUint32(info.width);
    stream.writeString(info.distortion_model);
    stream.writeUint32(static_cast<uint32_t>(info.d_count));
    stream.writeFloat64Array(info.d, info.d_count);
    stream.writeFloat64Array(info.k.data(), info.k.size());
    stream.writeFloat64Array(info.r.data(), info.r.size());
    stream.writeFloat64Array(info.p.data(), info.p.size());
    stream.writeUint32(info.binning_x);
    stream.writeUint32(info.binning_y);
    stream.writeUint32(info.roi.x_offset);
    stream.writeUint32(info.roi.y_offset);
    stream.writeUint32(info.roi.height);
    stream.writeUint32(info.roi.width);
    stream.writeBool(info.roi.do_rectify);
}

template <class Stream>
void writePointCloud(Stream& stream, const MessageHeader& header, const PointCloudPlane& cloud) {
    static constexpr std::string_view kNames[] = {"x", "y", "z"};
    writeHeader(stream, header);
    stream.writeUint32(cloud.height);
    stream.writeUint32(cloud.width);
    stream.writeUint32(3);  // fields
    for (uint32_t index = 0; index < 3; ++index) {
        stream.writeString(kNames[index]);
        stream.writeUint32(index * static_cast<uint32_t>(sizeof(float)));
        stream.writeUint8(kPointFieldFloat32);
        stream.writeUint32(1);  // count
    }
    stream.writeBool(false);  // is_bigendian
    stream.writeUint32(kPointStep);
    stream.writeUint32(cloud.width * kPointStep);
    stream.writeByteSequence(cloud.xyz, std::size_t{kPointStep} * cloud.width * cloud.height);
    stream.writeBool(cloud.is_dense);
}

constexpr std::size_t kMaxCount = std::numeric_limits<uint32_t>::max();

bool fitsCdr(const MessageHeader& header) {
    return header.frame_id.size() < kMaxCount;
}

bool planeFits(const ImagePlane& plane) {
    const uint64_t step = uint64_t{plane.width} * sampleSize(plane.type);
    return step <= kMaxCount && step * plane.height <= kMaxCount;
}

bool cloudFits(const PointCloudPlane& cloud) {
    const uint64_t row_step = uint64_t{cloud.width} * kPointStep;
    return row_step <= kMaxCount && row_step * cloud.height <= kMaxCount;
}

}  // namespace

const char* messageStatusText(MessageStatus status) {
    switch (status) {
        case MessageStatus::Ok:
            return "ok";
        case MessageStatus::BufferTooSmall:
            return "the output buffer is smaller than the message";
        case MessageStatus::TooLarge:
            return "a field is too large for a CDR message";
        case MessageStatus::InvalidArgument:
            return "invalid message contents";
    }
    return "unknown message status";
}

std::string_view imageEncoding(SampleType type) {
    switch (type) {
        case SampleType::Int16:
            return "16SC1";
        case SampleType::Uint16:
            return "16UC1";
        case SampleType::Float32:
            return "32FC1";
    }
    return "";
}

std::size_t sampleSize(SampleType type) {
    return type == SampleType::Float32 ? 4 : 2;
}

std::size_t imageMessageSize(const MessageHeader& header, const ImagePlane& plane) {
    if (!fitsCdr(header) || !planeFits(plane))
        return 0;
    CdrSizer sizer;
    writeImage(sizer, header, plane);
    return sizer.size();
}

MessageStatus encodeImage(const MessageHeader& header, const ImagePlane& plane, uint8_t* out,
                          std::size_t capacity) {
    if (out == nullptr ||
        (plane.samples == nullptr && std::size_t{plane.width} * plane.height != 0))
        return MessageStatus::InvalidArgument;
    if (!fitsCdr(header) || !planeFits(plane))
        return MessageStatus::TooLarge;
    CdrWriter writer(out, capacity);
    writeImage(writer, header, plane);
    return writer.failed() ? MessageStatus::BufferTooSmall : MessageStatus::Ok;
}

std::size_t cameraInfoMessageSize(const MessageHeader& header, const CameraInfoFields& info) {
    if (!fitsCdr(header) || info.distortion_model.size() >= kMaxCount || info.d_count > kMaxCount)
        return 0;
    CdrSizer sizer;
    writeCameraInfo(sizer, header, info);
    return sizer.size();
}

MessageStatus encodeCameraInfo(const MessageHeader& header, const CameraInfoFields& info,
                               uint8_t* out, std::size_t capacity) {
    if (out == nullptr || (info.d == nullptr && info.d_count != 0))
        return MessageStatus::InvalidArgument;
    if (cameraInfoMessageSize(header, info) == 0)
        return MessageStatus::TooLarge;
    CdrWriter writer(out, capacity);
    writeCameraInfo(writer, header, info);
    return writer.failed() ? MessageStatus::BufferTooSmall : MessageStatus::Ok;
}

std::size_t compressedImageMessageSize(const MessageHeader& header, std::string_view format,
                                       std::size_t data_size) {
    if (!fitsCdr(header) || format.size() >= kMaxCount || data_size > kMaxCount)
        return 0;
    CdrSizer sizer;
    writeCompressedImageStart(sizer, header, format, data_size);
    return sizer.size();
}

MessageStatus encodeCompressedImage(const MessageHeader& header, std::string_view format,
                                    const uint8_t* data, std::size_t data_size, uint8_t* out,
                                    std::size_t capacity) {
    if (out == nullptr || (data == nullptr && data_size != 0))
        return MessageStatus::InvalidArgument;
    if (compressedImageMessageSize(header, format, data_size) == 0)
        return MessageStatus::TooLarge;
    CdrWriter writer(out, capacity);
    uint8_t* target = writeCompressedImageStart(writer, header, format, data_size);
    if (writer.failed())
        return MessageStatus::BufferTooSmall;
    if (data_size > 0)
        std::memcpy(target, data, data_size);
    return MessageStatus::Ok;
}

std::size_t pointCloudMessageSize(const MessageHeader& header, const PointCloudPlane& cloud) {
    if (!fitsCdr(header) || !cloudFits(cloud))
        return 0;
    CdrSizer sizer;
    writePointCloud(sizer, header, cloud);
    return sizer.size();
}

MessageStatus encodePointCloud(const MessageHeader& header, const PointCloudPlane& cloud,
                               uint8_t* out, std::size_t capacity) {
    if (out == nullptr || (cloud.xyz == nullptr && std::size_t{cloud.width} * cloud.height != 0))
        return MessageStatus::InvalidArgument;
    if (!fitsCdr(header) || !cloudFits(cloud))
        return MessageStatus::TooLarge;
    CdrWriter writer(out, capacity);
    writePointCloud(writer, header, cloud);
    return writer.failed() ? MessageStatus::BufferTooSmall : MessageStatus::Ok;
}

}  // namespace ros
}  // namespace Quorvan
