// The reconnect loop's accounting of a gap: the frames lost while a device
// was away are counted by the frame period its own clock showed, and a
// reopened device (whose clock may start afresh, and whose first buffer may
// come back unstamped) must not teach a period across the gap.
#include "camera/reconnect_loop.h"

#include <gtest/gtest.h>

#include <vector>

namespace Quorvan {
namespace {

class AlwaysBack final : public Reconnectable {
public:
    bool deviceIsBack() override { return true; }
    bool reopenAndRestart() override { return true; }
};

// Away until the next poll finds the device back (one poll, about 100 ms).
void awayUntilBack(ReconnectLoop& loop, Reconnectable& backend) {
    loop.departed();
    CaptureFailure failure = CaptureFailure::None;
    while (loop.isAway())
        loop.whileAway(backend, &failure);
    EXPECT_EQ(failure, CaptureFailure::Disconnected);
}

TEST(ReconnectLoop, AReturnCountsTheGapByTheDevicesPeriodAndLearnsNothingAcrossIt) {
    ReconnectLoop loop;
    AlwaysBack backend;
    loop.opened();
    loop.setAutoReconnect(true);
    loop.streamStarted();
    // A 30 ms period by the device's clock.
    for (uint64_t frame = 1; frame <= 5; ++frame)
        loop.frameArrived(1000 + 30 * frame);

    awayUntilBack(loop, backend);
    // The reopened device hands its first buffer back unstamped, then runs
    // a clock of its own far from the old one.
    loop.frameArrived(0);
    for (uint64_t frame = 1; frame <= 5; ++frame)
        loop.frameArrived(900000 + 30 * frame);

    awayUntilBack(loop, backend);
    loop.frameArrived(900000 + 30 * 6 + 200);

    const std::vector<ConnectionEvent> events = loop.takeEvents();
    ASSERT_EQ(events.size(), 4u);
    for (size_t i = 1; i < events.size(); i += 2) {
        ASSERT_EQ(events[i].kind, ConnectionEvent::Kind::Reconnected);
        // At least one 100 ms poll away at a 30 ms period: two frames or more.
        EXPECT_GE(events[i].gap_ms, 100u);
        EXPECT_GE(events[i].frames_lost, 2u) << "return " << i / 2;
        EXPECT_LE(events[i].frames_lost, events[i].gap_ms / 30 + 1) << "return " << i / 2;
    }
    FrameStatistics statistics{};
    loop.addStatistics(&statistics);
    EXPECT_EQ(statistics.disconnects, 2u);
    EXPECT_EQ(statistics.reconnects, 2u);
    EXPECT_EQ(statistics.lost_while_disconnected, events[1].frames_lost + events[3].frames_lost);
}

TEST(ReconnectLoop, ANewStreamForgetsTheLastOnesPeriod) {
    ReconnectLoop loop;
    AlwaysBack backend;
    loop.opened();
    loop.setAutoReconnect(true);
    loop.streamStarted();
    // A slow stream (1 s a frame) ...
    for (uint64_t frame = 1; frame <= 5; ++frame)
        loop.frameArrived(1000 * frame);
    // ... then a fast one (10 ms), and a gap in it.
    loop.streamStarted();
    for (uint64_t frame = 1; frame <= 5; ++frame)
        loop.frameArrived(50000 + 10 * frame);
    awayUntilBack(loop, backend);
    loop.frameArrived(60000);
    const std::vector<ConnectionEvent> events = loop.takeEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_GE(events[1].frames_lost, 5u);
}

}  // namespace
}  // namespace Quorvan
