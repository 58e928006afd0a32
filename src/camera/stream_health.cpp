#include "camera/stream_health.h"

#include "log/log.h"

namespace Quorvan {

void StreamHealth::restart(Clock::time_point now) {
    last_success_ = now;
    reported_ = CaptureFailure::None;
}

void StreamHealth::captureSucceeded(Clock::time_point now) {
    last_success_ = now;
    if (reported_ != CaptureFailure::None) {
        QUORVAN_LOGF(Camera, Info, "QuorvanTOFCamera: frames are complete again");
    }
    reported_ = CaptureFailure::None;
}

void StreamHealth::captureFailed(CaptureFailure reason, Clock::time_point now) {
    // A feed with nothing in it is a pause of whoever feeds it; saying that
    // captures fail would be false. The silence still counts from the last
    // frame, so a real failure after the pause is reported at once.
    if (reason == CaptureFailure::SourceIdle)
        return;
    if (reason == reported_ || now - last_success_ < kSilenceBeforeReport)
        return;
    reported_ = reason;
    const auto silent_s =
        std::chrono::duration_cast<std::chrono::seconds>(now - last_success_).count();
    QUORVAN_LOGF(Camera, Warn, "QuorvanTOFCamera: no complete frame for %lld s: %s",
                 static_cast<long long>(silent_s), describeCaptureFailure(reason));
}

}  // namespace Quorvan
