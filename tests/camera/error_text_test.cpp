#include <gtest/gtest.h>

#include <string>

#include "quorvan/types.h"

namespace Quorvan {
namespace {

std::string text(int32_t code) { return to_str(static_cast<TofErrorCode>(code)); }

TEST(ErrorText, EveryMemberHasItsText) {
    EXPECT_EQ(text(0), "Success");
    EXPECT_EQ(text(1), "Invalid parameter");
    EXPECT_EQ(text(2), "No cache");
    EXPECT_EQ(text(3), "Unkown device");
    EXPECT_EQ(text(4), "Not implemented");
    EXPECT_EQ(text(240), "Skip frame");
    EXPECT_EQ(text(-2), "System error");
    EXPECT_EQ(text(-1), "Unknown error");
}

TEST(ErrorText, ValuesOutsideTheTableAreUnknown) {
    for (int32_t code : {5, 100, 239, 241, 255, -3, -1000, INT32_MAX, INT32_MIN}) {
        EXPECT_EQ(text(code), "Unknown error") << code;
    }
}

TEST(PublicTypes, ValuesWithGaps) {
    EXPECT_EQ(static_cast<int32_t>(CameraCtrl::CONFIG_DIR_EXT), 256);
    EXPECT_EQ(static_cast<int32_t>(CameraCtrl::AUTO_FRAME_RATE), 9);
    EXPECT_EQ(QuorvanSkipFrame, 240);
    EXPECT_EQ(QuorvanUnkownError, -1);
    EXPECT_EQ(static_cast<int32_t>(FrameType::CACHE), 4);
    EXPECT_EQ(static_cast<int32_t>(TofFrameWorkMode::GRAY_ONLY), 19);
    EXPECT_EQ(static_cast<int32_t>(TofWorkMode::GRAY_ONLY), 8);
    EXPECT_EQ(HQVGA, 1u);
    EXPECT_EQ(sizeof(CameraInfo), 32u);
}

}  // namespace
}  // namespace Quorvan
