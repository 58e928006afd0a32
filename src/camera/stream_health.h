// Watches one stream for captures that never complete. A sensor whose every
// capture fails (timeouts, images of the wrong size, timestamp gaps) would
// otherwise leave requestFrame returning null for ever without a word; after
// a few seconds without a completed frame this says so, once, and again only
// when the reason changes, in the library log's "camera" category. Used on the
// capture thread only; allocates nothing while the stream is healthy.
#pragma once

#include <chrono>

#include "quorvan/capture_failure.h"

namespace Quorvan {

class StreamHealth {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kSilenceBeforeReport{3};

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
    Clock::time_point last_success_{};
    CaptureFailure reported_ = CaptureFailure::None;
};

}  // namespace Quorvan
