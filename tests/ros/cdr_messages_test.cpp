// The CDR layout of the native messages: exact bytes of a small image laid
// out by hand, the alignment of every member whatever precedes it, and that
// no encoder writes a byte beyond the buffer it is given. Byte identity with
// other serializers is tested from Python (tests/python/test_messages_native.py).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ros/cdr_stream.h"
#include "ros/compressed_depth.h"
#include "ros/ros_messages.h"

namespace Quorvan::ros {
namespace {

constexpr uint8_t kGuard = 0xA5;

// Runs `encode` into a buffer of `capacity` bytes followed by guard bytes and
// checks that the guard survived.
template <class Encode>
MessageStatus encodeGuarded(std::size_t capacity, Encode encode, std::vector<uint8_t>* out) {
    std::vector<uint8_t> buffer(capacity + 16, kGuard);
    const MessageStatus status = encode(buffer.data(), capacity);
    for (std::size_t index = capacity; index < buffer.size(); ++index)
        EXPECT_EQ(buffer[index], kGuard) << "written past the capacity at " << index;
    buffer.resize(capacity);
    if (out != nullptr)
        *out = buffer;
    return status;
}

// The size one message takes and the encoder that writes it. The encoder
// refers to the fields it is made from (the frame id, the samples), which
// must outlive it.
struct Encoding {
    std::size_t size;
    std::function<MessageStatus(uint8_t*, std::size_t)> encode;
};

Encoding imageEncoding(const MessageHeader& header, const ImagePlane& plane) {
    return {imageMessageSize(header, plane), [header, plane](uint8_t* out, std::size_t n) {
                return encodeImage(header, plane, out, n);
            }};
}

Encoding cameraInfoEncoding(const MessageHeader& header, const CameraInfoFields& info) {
    return {cameraInfoMessageSize(header, info), [header, info](uint8_t* out, std::size_t n) {
                return encodeCameraInfo(header, info, out, n);
            }};
}

// The whole message into exactly its size, checked not to write past it.
MessageStatus encodeWhole(const Encoding& encoding, std::vector<uint8_t>* message) {
    return encodeGuarded(encoding.size, encoding.encode, message);
}

std::size_t find(const std::vector<uint8_t>& bytes, const void* pattern, std::size_t size) {
    for (std::size_t at = 0; at + size <= bytes.size(); ++at)
        if (std::memcmp(bytes.data() + at, pattern, size) == 0)
            return at;
    return std::string::npos;
}

TEST(CdrImage, SmallFloatImageHasTheHandLaidOutBytes) {
    const float samples[6] = {0, 1, 2, 3, 4, 5};
    const MessageHeader header{1, 2, "ab"};
    const ImagePlane plane{samples, SampleType::Float32, 3, 2};
    std::vector<uint8_t> expected = {
        0x00, 0x01, 0x00, 0x00,                                  // encapsulation: little-endian CDR
        0x01, 0x00, 0x00, 0x00,                                  // stamp.sec
        0x02, 0x00, 0x00, 0x00,                                  // stamp.nanosec
        0x03, 0x00, 0x00, 0x00, 'a', 'b', 0x00,                  // frame_id with its NUL
        0x00,                                                    // padding to 4
        0x02, 0x00, 0x00, 0x00,                                  // height
        0x03, 0x00, 0x00, 0x00,                                  // width
        0x06, 0x00, 0x00, 0x00, '3', '2', 'F',  'C', '1', 0x00,  // encoding
        0x00,                                                    // is_bigendian
        0x00,                                                    // padding to 4
        0x0c, 0x00, 0x00, 0x00,                                  // step
        0x18, 0x00, 0x00, 0x00,                                  // data: 24 bytes
    };
    const std::size_t data_at = expected.size();
    expected.resize(data_at + sizeof(samples));
    std::memcpy(expected.data() + data_at, samples, sizeof(samples));

    const Encoding image = imageEncoding(header, plane);
    ASSERT_EQ(image.size, expected.size());
    std::vector<uint8_t> message;
    EXPECT_EQ(encodeWhole(image, &message), MessageStatus::Ok);
    EXPECT_EQ(message, expected);
}

TEST(CdrImage, DataFollowsStepAndEndsTheMessageForEveryFrameIdLength) {
    const std::vector<int16_t> samples(3 * 5, -2);
    for (std::size_t length = 0; length < 12; ++length) {
        const std::string frame_id(length, 'f');
        for (SampleType type : {SampleType::Int16, SampleType::Uint16, SampleType::Float32}) {
            const uint32_t width = type == SampleType::Float32 ? 1 : 3;
            const ImagePlane plane{samples.data(), type, width, 5};
            const MessageHeader header{-5, 7, frame_id};
            const Encoding image = imageEncoding(header, plane);
            const std::size_t size = image.size;
            std::vector<uint8_t> message;
            ASSERT_EQ(encodeWhole(image, &message), MessageStatus::Ok);
            const std::size_t data_size = width * sampleSize(type) * 5;
            const std::size_t count_at = size - data_size - 4;
            EXPECT_EQ((count_at - kEncapsulationSize) % 4, 0u);
            uint32_t count = 0;
            uint32_t step = 0;
            std::memcpy(&count, message.data() + count_at, 4);
            std::memcpy(&step, message.data() + count_at - 4, 4);
            EXPECT_EQ(count, data_size);
            EXPECT_EQ(step, width * sampleSize(type));
            EXPECT_EQ(std::memcmp(message.data() + size - data_size, samples.data(), data_size), 0);
        }
    }
}

TEST(CdrCameraInfo, MatricesAreEightByteAlignedAfterTheHeaderWhateverPrecedesThem) {
    const double d[3] = {0.25, 0.5, 0.75};
    for (std::size_t frame_length = 0; frame_length < 9; ++frame_length) {
        for (std::size_t model_length = 0; model_length < 9; ++model_length) {
            for (std::size_t d_count = 0; d_count <= 3; d_count += 3) {
                const std::string frame_id(frame_length, 'x');
                const std::string model(model_length, 'm');
                CameraInfoFields info;
                info.distortion_model = model;
                info.d = d;
                info.d_count = d_count;
                info.k.fill(1234.5678);
                info.roi.do_rectify = true;
                const MessageHeader header{0, 0, frame_id};
                const Encoding camera_info = cameraInfoEncoding(header, info);
                const std::size_t size = camera_info.size;
                std::vector<uint8_t> message;
                ASSERT_EQ(encodeWhole(camera_info, &message), MessageStatus::Ok);
                const std::size_t k_at = find(message, &info.k[0], 8);
                ASSERT_NE(k_at, std::string::npos);
                EXPECT_EQ((k_at - kEncapsulationSize) % 8, 0u) << frame_length << model_length;
                // binning (2), roi (4 words) and do_rectify close the message.
                EXPECT_EQ(size, k_at + (9 + 9 + 12) * 8 + 6 * 4 + 1);
                EXPECT_EQ(message.back(), 1);
            }
        }
    }
}

TEST(CdrMessages, EveryEncoderRefusesABufferOneByteShortWithoutWritingPastIt) {
    const std::vector<float> xyz(3 * 7 * 3, 1.5f);
    const std::vector<uint16_t> depth(7 * 3, 900);
    const std::vector<uint8_t> data(13, 9);
    for (std::size_t length = 0; length < 5; ++length) {
        const std::string frame_id(length, 'q');
        const MessageHeader header{1, 1, frame_id};
        const ImagePlane plane{xyz.data(), SampleType::Float32, 7, 3};
        const PointCloudPlane cloud{xyz.data(), 7, 3, true};
        const DepthPlane depth_plane{depth.data(), 7, 3};
        CameraInfoFields info;
        const Encoding cases[] = {
            imageEncoding(header, plane),
            cameraInfoEncoding(header, info),
            {compressedImageMessageSize(header, "png", data.size()),
             [&](uint8_t* out, std::size_t n) {
                 return encodeCompressedImage(header, "png", data.data(), data.size(), out, n);
             }},
            {compressedDepthMessageSize(header, depth_plane),
             [&](uint8_t* out, std::size_t n) {
                 return encodeCompressedDepth(header, depth_plane, out, n);
             }},
            {pointCloudMessageSize(header, cloud),
             [&](uint8_t* out, std::size_t n) { return encodePointCloud(header, cloud, out, n); }},
        };
        for (const Encoding& message : cases) {
            ASSERT_GT(message.size, kEncapsulationSize);
            EXPECT_EQ(encodeGuarded(message.size, message.encode, nullptr), MessageStatus::Ok);
            EXPECT_EQ(encodeGuarded(message.size - 1, message.encode, nullptr),
                      MessageStatus::BufferTooSmall);
            EXPECT_EQ(encodeGuarded(2, message.encode, nullptr), MessageStatus::BufferTooSmall);
        }
    }
}

TEST(CdrMessages, RefusesNullPlanesAndSizesBeyondThirtyTwoBits) {
    uint8_t out[64];
    const MessageHeader header{};
    EXPECT_EQ(encodeImage(header, {nullptr, SampleType::Int16, 2, 2}, out, sizeof(out)),
              MessageStatus::InvalidArgument);
    const int16_t sample = 0;
    const ImagePlane huge{&sample, SampleType::Float32, 65536, 16384};
    EXPECT_EQ(imageMessageSize(header, huge), 0u);
    EXPECT_EQ(encodeImage(header, huge, out, sizeof(out)), MessageStatus::TooLarge);
    EXPECT_EQ(pointCloudMessageSize(header, {nullptr, 1u << 30, 2, false}), 0u);
    EXPECT_EQ(encodePointCloud(header, {nullptr, 2, 2, false}, out, sizeof(out)),
              MessageStatus::InvalidArgument);
    // An empty image is a valid message: no plane needed.
    const ImagePlane empty{nullptr, SampleType::Uint16, 0, 0};
    EXPECT_EQ(encodeImage(header, empty, out, imageMessageSize(header, empty)), MessageStatus::Ok);
}

}  // namespace
}  // namespace Quorvan::ros
