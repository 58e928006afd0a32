#include "camera/stream_health.h"

#include <gtest/gtest.h>

#include <string>

#include "log/recorded_log.h"

namespace Quorvan {
namespace {

using namespace std::chrono_literals;

TEST(StreamHealth, ReportsOnceAfterTheSilenceAndAgainOnlyWhenTheReasonChanges) {
    const testing_support::RecordedLog log;
    StreamHealth health;
    const auto t0 = StreamHealth::Clock::time_point{} + 100s;
    health.restart(t0);

    // Failures within the first seconds are the ordinary hiccups of a stream.
    health.captureFailed(CaptureFailure::Timeout, t0 + 1s);
    health.captureFailed(CaptureFailure::Timeout, t0 + 2900ms);
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(health.reported(), CaptureFailure::None);

    for (int turn = 0; turn < 50; ++turn)
        health.captureFailed(CaptureFailure::Timeout, t0 + 3s + turn * 10ms);
    std::string text = log.text();
    EXPECT_EQ(log.size(), 1u) << text;
    EXPECT_NE(text.find("no complete frame for 3 s: captures time out"), std::string::npos) << text;

    health.captureFailed(CaptureFailure::WrongSize, t0 + 4s);
    health.captureFailed(CaptureFailure::WrongSize, t0 + 5s);
    text = log.text();
    EXPECT_EQ(log.size(), 2u) << text;
    EXPECT_NE(text.find("no complete frame for 4 s: images arrive with the wrong size"),
              std::string::npos)
        << text;

    // Recovery is said once, and a later silence is measured from it.
    health.captureSucceeded(t0 + 6s);
    health.captureSucceeded(t0 + 7s);
    health.captureFailed(CaptureFailure::WrongSize, t0 + 8s);
    text = log.text();
    EXPECT_EQ(log.size(), 3u) << text;
    EXPECT_NE(text.find("frames are complete again"), std::string::npos) << text;
    health.captureFailed(CaptureFailure::WrongSize, t0 + 10s);
    EXPECT_EQ(log.size(), 4u);
}

TEST(StreamHealth, AnIdleFeedIsNoFailureAndALaterFailureIsReportedAtOnce) {
    const testing_support::RecordedLog log;
    StreamHealth health;
    const auto t0 = StreamHealth::Clock::time_point{} + 100s;
    health.restart(t0);
    for (int second = 1; second <= 20; ++second)
        health.captureFailed(CaptureFailure::SourceIdle, t0 + second * 1s);
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(health.reported(), CaptureFailure::None);
    // The silence since the last frame counts for a real failure.
    health.captureFailed(CaptureFailure::Timeout, t0 + 21s);
    EXPECT_NE(log.text().find("no complete frame for 21 s: captures time out"), std::string::npos)
        << log.text();
}

TEST(StreamHealth, ARestartForgetsWhatWasReported) {
    const testing_support::RecordedLog log;
    StreamHealth health;
    const auto t0 = StreamHealth::Clock::time_point{} + 100s;
    health.restart(t0);
    health.captureFailed(CaptureFailure::TimestampGap, t0 + 5s);
    EXPECT_EQ(health.reported(), CaptureFailure::TimestampGap);
    health.restart(t0 + 6s);
    EXPECT_EQ(health.reported(), CaptureFailure::None);
    health.captureFailed(CaptureFailure::TimestampGap, t0 + 7s);
    health.captureFailed(CaptureFailure::TimestampGap, t0 + 9s);
    const std::string text = log.text();
    EXPECT_EQ(log.size(), 2u) << text;
    EXPECT_NE(text.find("timestamp gaps"), std::string::npos) << text;
}

}  // namespace
}  // namespace Quorvan
