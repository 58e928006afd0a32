#include "camera/stream_health.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace Quorvan {
namespace {

using namespace std::chrono_literals;

// Everything written to a temporary file so far.
std::string contentsOf(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char chunk[256];
    size_t read = 0;
    while ((read = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, read);
    return text;
}

size_t linesIn(const std::string& text) {
    size_t lines = 0;
    for (char c : text)
        lines += c == '\n';
    return lines;
}

TEST(StreamHealth, ReportsOnceAfterTheSilenceAndAgainOnlyWhenTheReasonChanges) {
    std::FILE* log = std::tmpfile();
    ASSERT_NE(log, nullptr);
    StreamHealth health(log);
    const auto t0 = StreamHealth::Clock::time_point{} + 100s;
    health.restart(t0);

    // Failures within the first seconds are the ordinary hiccups of a stream.
    health.captureFailed(CaptureFailure::Timeout, t0 + 1s);
    health.captureFailed(CaptureFailure::Timeout, t0 + 2900ms);
    EXPECT_EQ(contentsOf(log), "");
    EXPECT_EQ(health.reported(), CaptureFailure::None);

    for (int turn = 0; turn < 50; ++turn)
        health.captureFailed(CaptureFailure::Timeout, t0 + 3s + turn * 10ms);
    std::string text = contentsOf(log);
    EXPECT_EQ(linesIn(text), 1u) << text;
    EXPECT_NE(text.find("no complete frame for 3 s: captures time out"), std::string::npos) << text;

    health.captureFailed(CaptureFailure::WrongSize, t0 + 4s);
    health.captureFailed(CaptureFailure::WrongSize, t0 + 5s);
    text = contentsOf(log);
    EXPECT_EQ(linesIn(text), 2u) << text;
    EXPECT_NE(text.find("no complete frame for 4 s: images arrive with the wrong size"),
              std::string::npos)
        << text;

    // Recovery is said once, and a later silence is measured from it.
    health.captureSucceeded(t0 + 6s);
    health.captureSucceeded(t0 + 7s);
    health.captureFailed(CaptureFailure::WrongSize, t0 + 8s);
    text = contentsOf(log);
    EXPECT_EQ(linesIn(text), 3u) << text;
    EXPECT_NE(text.find("frames are complete again"), std::string::npos) << text;
    health.captureFailed(CaptureFailure::WrongSize, t0 + 10s);
    EXPECT_EQ(linesIn(contentsOf(log)), 4u);
    std::fclose(log);
}

TEST(StreamHealth, ARestartForgetsWhatWasReported) {
    std::FILE* log = std::tmpfile();
    ASSERT_NE(log, nullptr);
    StreamHealth health(log);
    const auto t0 = StreamHealth::Clock::time_point{} + 100s;
    health.restart(t0);
    health.captureFailed(CaptureFailure::TimestampGap, t0 + 5s);
    EXPECT_EQ(health.reported(), CaptureFailure::TimestampGap);
    health.restart(t0 + 6s);
    EXPECT_EQ(health.reported(), CaptureFailure::None);
    health.captureFailed(CaptureFailure::TimestampGap, t0 + 7s);
    health.captureFailed(CaptureFailure::TimestampGap, t0 + 9s);
    const std::string text = contentsOf(log);
    EXPECT_EQ(linesIn(text), 2u) << text;
    EXPECT_NE(text.find("timestamp gaps"), std::string::npos) << text;
    std::fclose(log);
}

}  // namespace
}  // namespace Quorvan
