#include "camera/skip_pattern.h"

#include <gtest/gtest.h>

#include <string>

namespace Quorvan {
namespace {

// 'K' for a kept frame, 's' for a dropped one, starting from counter 0 as a
// new camera does.
std::string pattern(int32_t skip, int32_t loop, int frames) {
    std::string result;
    int32_t counter = 0;
    for (int i = 0; i < frames; ++i) {
        const SkipStep step = advanceSkipPattern(counter, skip, loop);
        counter = step.counter;
        result += step.dropped ? 's' : 'K';
    }
    return result;
}

TEST(SkipPattern, WrittenExamples) {
    EXPECT_EQ(pattern(0, 1, 6), "KKKKKK");
    EXPECT_EQ(pattern(1, 2, 6), "KsKsKs");
    EXPECT_EQ(pattern(2, 5, 10), "KsKKsKsKKs");
    EXPECT_EQ(pattern(1, 3, 6), "KKsKKs");
    EXPECT_EQ(pattern(4, 4, 8), "ssssssss");
}

TEST(SkipPattern, KeepsExactlyLoopMinusSkipOfEveryLoop) {
    for (int32_t loop : {1, 2, 7, 16, 100, 255}) {
        for (int32_t skip = 0; skip <= loop; skip += (loop > 20 ? 17 : 1)) {
            const std::string one_loop = pattern(skip, loop, loop);
            int kept = 0;
            for (char c : one_loop)
                kept += c == 'K';
            EXPECT_EQ(kept, loop - skip) << skip << " of " << loop;
        }
    }
}

TEST(SkipPattern, AnyPairOfSettingsIsSafe) {
    // Half-applied or hostile settings must never divide by zero or index
    // outside the loop; they behave like the nearest valid pair.
    EXPECT_EQ(pattern(0, 0, 4), "KKKK");
    EXPECT_EQ(pattern(0, -7, 4), "KKKK");
    EXPECT_EQ(pattern(3, 2, 4), "ssss");  // skip above loop drops everything
    EXPECT_EQ(pattern(-1, 2, 4), "KKKK");
    EXPECT_EQ(pattern(1, 256, 3), pattern(1, 255, 3));
    EXPECT_EQ(pattern(INT32_MAX, INT32_MAX, 3), "sss");
    // A counter left over from a longer loop stays inside the new one.
    const SkipStep step = advanceSkipPattern(200, 1, 3);
    EXPECT_GE(step.counter, 0);
    EXPECT_LT(step.counter, 3);
}

TEST(SkipPattern, ControlRanges) {
    EXPECT_FALSE(isValidSkipFrameLoop(0));
    EXPECT_TRUE(isValidSkipFrameLoop(1));
    EXPECT_TRUE(isValidSkipFrameLoop(255));
    EXPECT_FALSE(isValidSkipFrameLoop(256));
    EXPECT_FALSE(isValidSkipFrameLoop(-1));
    EXPECT_TRUE(isValidSkipFrame(0, 1));
    EXPECT_TRUE(isValidSkipFrame(5, 5));
    EXPECT_FALSE(isValidSkipFrame(6, 5));
    EXPECT_FALSE(isValidSkipFrame(-1, 5));
}

}  // namespace
}  // namespace Quorvan
