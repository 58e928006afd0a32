// ROS 2 messages written as CDR straight from the frame's planes: the
// sensor_msgs Image, CameraInfo, CompressedImage and PointCloud2 that the
// recorder and the bus publish. Each message has a size function and an
// encoder; the caller allocates the size once and the encoder fills it in one
// pass, so a frame is copied exactly once on its way into a message.
//
//   ImagePlane plane{depth_m, SampleType::Float32, width, height};
//   std::size_t size = imageMessageSize(header, plane);
//   std::vector<uint8_t> message(size);
//   MessageStatus status = encodeImage(header, plane, message.data(), size);
//
// Views only: every pointer and string stays the caller's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Quorvan {
namespace ros {

enum class MessageStatus {
    Ok,
    BufferTooSmall,   // the output is smaller than the message's size
    TooLarge,         // a string or sequence needs more than CDR's 32-bit count
    InvalidArgument,  // a null plane, a zero or inconsistent size
};

const char* messageStatusText(MessageStatus status);

// std_msgs/Header with its builtin_interfaces/Time.
struct MessageHeader {
    int32_t stamp_sec = 0;
    uint32_t stamp_nanosec = 0;
    std::string_view frame_id;
};

enum class SampleType { Int16, Uint16, Float32 };

// A row-major plane of width x height samples without row padding, in the
// host's (little-endian) byte order.
struct ImagePlane {
    const void* samples = nullptr;
    SampleType type = SampleType::Float32;
    uint32_t width = 0;
    uint32_t height = 0;
};

// "16SC1", "16UC1" or "32FC1": the ROS image encoding of a sample type.
std::string_view imageEncoding(SampleType type);
std::size_t sampleSize(SampleType type);

// sensor_msgs/msg/Image of one plane: its encoding from the sample type,
// is_bigendian 0, step = width * sample size. 0 for a plane too large for
// CDR (see TooLarge).
std::size_t imageMessageSize(const MessageHeader& header, const ImagePlane& plane);
MessageStatus encodeImage(const MessageHeader& header, const ImagePlane& plane, uint8_t* out,
                          std::size_t capacity);

struct RegionOfInterest {
    uint32_t x_offset = 0;
    uint32_t y_offset = 0;
    uint32_t height = 0;
    uint32_t width = 0;
    bool do_rectify = false;
};

struct CameraInfoFields {
    uint32_t height = 0;
    uint32_t width = 0;
    std::string_view distortion_model;
    const double* d = nullptr;
    std::size_t d_count = 0;
    std::array<double, 9> k{};
    std::array<double, 9> r{};
    std::array<double, 12> p{};
    uint32_t binning_x = 0;
    uint32_t binning_y = 0;
    RegionOfInterest roi;
};

std::size_t cameraInfoMessageSize(const MessageHeader& header, const CameraInfoFields& info);
MessageStatus encodeCameraInfo(const MessageHeader& header, const CameraInfoFields& info,
                               uint8_t* out, std::size_t capacity);

// sensor_msgs/msg/CompressedImage holding bytes compressed elsewhere.
std::size_t compressedImageMessageSize(const MessageHeader& header, std::string_view format,
                                       std::size_t data_size);
MessageStatus encodeCompressedImage(const MessageHeader& header, std::string_view format,
                                    const uint8_t* data, std::size_t data_size, uint8_t* out,
                                    std::size_t capacity);

// sensor_msgs/msg/PointCloud2 of an organised cloud: height x width points of
// three float32 coordinates (x, y, z in metres), fields "x", "y", "z" at
// offsets 0, 4, 8, point_step 12. `is_dense` says that no point is invalid.
struct PointCloudPlane {
    const float* xyz = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    bool is_dense = false;
};

std::size_t pointCloudMessageSize(const MessageHeader& header, const PointCloudPlane& cloud);
MessageStatus encodePointCloud(const MessageHeader& header, const PointCloudPlane& cloud,
                               uint8_t* out, std::size_t capacity);

}  // namespace ros
}  // namespace Quorvan
