#include "quorvan/frame_buffer.h"

#include <gtest/gtest.h>

namespace Quorvan {
namespace {

const FrameDataFormat kUntouched{7, 7, FrameType::CACHE, 77};

TEST(RawData, OnlyTheRawPlaneExists) {
    RawData raw(240, 720);
    EXPECT_NE(raw.getData(FrameType::RAW), nullptr);
    for (FrameType other :
         {FrameType::DEPTH, FrameType::CONFIDENCE, FrameType::AMPLITUDE, FrameType::CACHE}) {
        EXPECT_EQ(raw.getData(other), nullptr);
        FrameDataFormat format = kUntouched;
        EXPECT_EQ(raw.getFormat(other, format), QuorvanUnkownError);
        EXPECT_EQ(format.timestamp, 77u);
    }
    raw.setTimestamp(1234);
    FrameDataFormat format{};
    ASSERT_EQ(raw.getFormat(FrameType::RAW, format), QuorvanSuccess);
    EXPECT_EQ(format.width, 240u);
    EXPECT_EQ(format.height, 720u);
    EXPECT_EQ(format.type, FrameType::RAW);
    EXPECT_EQ(format.timestamp, 1234u);
    // The whole plane is writable (ASan would flag a short allocation).
    static_cast<int16_t*>(raw.getData(FrameType::RAW))[240 * 720 - 1] = 1;
}

TEST(DepthData, ThreePlanesAmplitudeReportsConfidence) {
    DepthData frame({240, 180, FrameType::DEPTH, 0}, {240, 180, FrameType::CONFIDENCE, 0});
    void* depth = frame.getData(FrameType::DEPTH);
    void* amplitude = frame.getData(FrameType::AMPLITUDE);
    void* confidence = frame.getData(FrameType::CONFIDENCE);
    ASSERT_NE(depth, nullptr);
    ASSERT_NE(amplitude, nullptr);
    ASSERT_NE(confidence, nullptr);
    EXPECT_NE(depth, amplitude);
    EXPECT_NE(amplitude, confidence);
    EXPECT_EQ(frame.getData(FrameType::RAW), nullptr);
    EXPECT_EQ(frame.getData(FrameType::CACHE), nullptr);

    frame.setTimestamp(99);
    FrameDataFormat format{};
    ASSERT_EQ(frame.getFormat(FrameType::AMPLITUDE, format), QuorvanSuccess);
    EXPECT_EQ(format.type, FrameType::CONFIDENCE);
    EXPECT_EQ(format.timestamp, 99u);
    ASSERT_EQ(frame.getFormat(FrameType::DEPTH, format), QuorvanSuccess);
    EXPECT_EQ(format.type, FrameType::DEPTH);
    EXPECT_EQ(format.timestamp, 99u);
    ASSERT_EQ(frame.getFormat(FrameType::CONFIDENCE, format), QuorvanSuccess);
    EXPECT_EQ(format.timestamp, 99u);

    FrameDataFormat untouched = kUntouched;
    EXPECT_EQ(frame.getFormat(FrameType::RAW, untouched), QuorvanUnkownError);
    EXPECT_EQ(untouched.width, 7u);
    for (void* plane : {depth, amplitude, confidence}) {
        static_cast<float*>(plane)[240 * 180 - 1] = 1.0f;
    }
}

TEST(CacheData, HoldsOneCaptureAndReportsTwiceTheHeight) {
    CacheData cache(240, 720);
    EXPECT_EQ(cache.size(), 345600u);
    FrameDataFormat format{};
    ASSERT_EQ(cache.getFormat(FrameType::CACHE, format), QuorvanSuccess);
    EXPECT_EQ(format.width, 240u);
    EXPECT_EQ(format.height, 1440u);
    EXPECT_EQ(format.type, FrameType::CACHE);
    EXPECT_EQ(format.timestamp, 0u);
    EXPECT_EQ(cache.getData(FrameType::RAW), nullptr);
    static_cast<uint8_t*>(cache.getData(FrameType::CACHE))[345599] = 1;
}

}  // namespace
}  // namespace Quorvan
