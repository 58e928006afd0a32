// RVL depth in the compressed-depth transport's layout: the prefix the
// transport reads, lossless round trips of the kit's scenes, the float to
// millimetre conversion, and refusal of data that is cut or claims an
// impossible size.
#include "ros/compressed_depth.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "scene/scene.h"

namespace Quorvan::ros {
namespace {

uint32_t word(const std::vector<uint8_t>& data, std::size_t at) {
    uint32_t value = 0;
    std::memcpy(&value, data.data() + at, 4);
    return value;
}

std::vector<uint8_t> compress(const std::vector<uint16_t>& depth, uint32_t width, uint32_t height) {
    const DepthPlane plane{depth.data(), width, height};
    std::vector<uint8_t> data(compressedDepthDataSize(plane));
    EXPECT_EQ(compressDepth(plane, data.data(), data.size()), MessageStatus::Ok);
    return data;
}

TEST(CompressedDepth, DataStartsWithTheConfigurationHeaderAndTheSize) {
    const std::vector<uint16_t> depth = {0, 1000, 1001, 0, 0, 65535};
    const std::vector<uint8_t> data = compress(depth, 3, 2);
    ASSERT_GE(data.size(), kCompressedDepthPrefixSize + 4);
    EXPECT_EQ(word(data, 0), 0u);  // the inverse-depth format
    EXPECT_EQ(word(data, 4), 0u);  // quantisation parameters, 0.0f and 0.0f
    EXPECT_EQ(word(data, 8), 0u);
    EXPECT_EQ(word(data, 12), 3u);  // width, then height
    EXPECT_EQ(word(data, 16), 2u);
    std::vector<uint16_t> rvl(6);
    ASSERT_EQ(rvlDecode(data.data() + 20, data.size() - 20, rvl.data(), rvl.size()), RvlStatus::Ok);
    EXPECT_EQ(rvl, depth);
}

TEST(CompressedDepth, KitScenesRoundTripLosslesslyAndCompress) {
    using namespace emulation;
    for (const std::string& name : sceneNames()) {
        std::string error;
        auto scene = makeScene(name, {}, &error);
        ASSERT_TRUE(scene) << error;
        for (auto [width, height] : {std::pair{240, 180}, std::pair{640, 480}}) {
            const GroundTruth truth = renderGroundTruth(
                *scene, PinholeCamera::withHorizontalFov(width, height, kDefaultHorizontalFovDeg));
            std::vector<uint16_t> depth(truth.distance_mm.size());
            depthToMillimetres16(truth.distance_mm.data(), depth.size(), depth.data());
            const std::vector<uint8_t> data = compress(depth, width, height);
            EXPECT_LT(data.size(), depth.size() * 2) << name;  // smaller than the plane
            std::vector<uint16_t> decoded(depth.size());
            ASSERT_EQ(decompressDepth(data.data(), data.size(), decoded.data(), decoded.size()),
                      DepthDecodeStatus::Ok);
            EXPECT_EQ(decoded, depth) << name << " " << width;
        }
    }
}

TEST(CompressedDepth, FloatMillimetresRoundAndInvalidDepthBecomesZero) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> millimetres = {nan,     -inf,    -3.0f,    0.0f,     0.3f,     0.7f,
                                            1500.4f, 1500.6f, 65535.0f, 65535.5f, 70000.0f, inf};
    const std::vector<uint16_t> expected = {0, 0, 0, 0, 0, 1, 1500, 1501, 65535, 0, 0, 0};
    std::vector<uint16_t> out(millimetres.size(), 7);
    depthToMillimetres16(millimetres.data(), millimetres.size(), out.data());
    EXPECT_EQ(out, expected);
}

TEST(CompressedDepth, RefusesCutDataImpossibleSizesAndOtherFormats) {
    std::vector<uint16_t> depth(64 * 48);
    for (std::size_t index = 0; index < depth.size(); ++index)
        depth[index] = static_cast<uint16_t>(800 + (index * 7919) % 3000);
    const std::vector<uint8_t> data = compress(depth, 64, 48);
    std::vector<uint16_t> out(depth.size());
    for (std::size_t cut : {std::size_t{0}, std::size_t{11}, std::size_t{19}, std::size_t{20},
                            data.size() / 2, data.size() - 1}) {
        const std::vector<uint8_t> prefix(data.begin(), data.begin() + cut);
        const DepthDecodeStatus status =
            decompressDepth(prefix.data(), prefix.size(), out.data(), out.size());
        EXPECT_EQ(status, cut < kCompressedDepthPrefixSize ? DepthDecodeStatus::NotCompressedDepth
                                                           : DepthDecodeStatus::Truncated)
            << cut;
    }
    EXPECT_EQ(decompressDepth(data.data(), data.size(), out.data(), out.size() - 1),
              DepthDecodeStatus::WrongOutputSize);

    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> bad = data;
    bad[0] = 0xff;  // the "no compression" format, or any other
    EXPECT_EQ(compressedDepthSize(bad.data(), bad.size(), &width, &height),
              DepthDecodeStatus::NotCompressedDepth);
    for (auto [bad_width, bad_height] : {std::pair{0u, 48u}, std::pair{64u, 0u},
                                         std::pair{1u << 16, 1u << 11}, std::pair{~0u, ~0u}}) {
        bad = data;
        std::memcpy(bad.data() + 12, &bad_width, 4);
        std::memcpy(bad.data() + 16, &bad_height, 4);
        EXPECT_EQ(compressedDepthSize(bad.data(), bad.size(), &width, &height),
                  DepthDecodeStatus::BadSize);
    }

    const DepthPlane empty{depth.data(), 0, 48};
    EXPECT_EQ(compressedDepthDataSize(empty), 0u);
    uint8_t small[32];
    EXPECT_EQ(compressDepth(empty, small, sizeof(small)), MessageStatus::InvalidArgument);
    EXPECT_EQ(compressDepth({depth.data(), 64, 48}, small, sizeof(small)),
              MessageStatus::BufferTooSmall);
}

}  // namespace
}  // namespace Quorvan::ros
