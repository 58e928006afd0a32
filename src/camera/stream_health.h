// Watches one stream for captures that never complete. A sensor whose every
// capture fails (timeouts, images of the wrong size, timestamp gaps) would
// otherwise leave requestFrame returning null for ever without a word; after
// a few seconds without a completed frame this says so, once, and again only
// when the reason changes. Used on the capture thread only; allocates nothing.
#pragma once

#include <chrono>
#include <cstdio>

#include "quorvan/capture_failure.h"

namespace Quorvan {

class StreamHealth {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kSilenceBeforeReport{3};

    explicit StreamHealth(std::FILE* report_to = stderr) : report_to_(report_to) {}

    // At the start of a stream.
    void restart(Clock::time_point now);
    // A capture that produced a frame (processed or dropped by the skip
    // pattern: the sensor works).
    void captureSucceeded(Clock::time_point now);
    // A capture the sensor could not complete, with the sensor's reason.
    void captureFailed(CaptureFailure reason, Clock::time_point now);

    // The reason last reported; None while nothing needed reporting.
    CaptureFailure reported() const { return reported_; }

private:
    std::FILE* report_to_;
    Clock::time_point last_success_{};
    CaptureFailure reported_ = CaptureFailure::None;
};

}  // namespace Quorvan
