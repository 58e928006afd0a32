#include <gtest/gtest.h>

#include <string>

#include "quorvan/types.h"

namespace Quorvan {
namespace {

std::string text(int32_t code) {
    return to_str(static_cast<TofErrorCode>(code));
}

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

}  // namespace
}  // namespace Quorvan
