#include "camera/stream_health.h"

namespace Quorvan {

void StreamHealth::restart(Clock::time_point now) {
    last_success_ = now;
    reported_ = CaptureFailure::None;
}

void StreamHealth::captureSucceeded(Clock::time_point now) {
    last_success_ = now;
    if (reported_ != CaptureFailure::None && report_to_ != nullptr) {
        std::fprintf(report_to_, "QuorvanTOFCamera: frames are complete again\n");
    }
    reported_ = CaptureFailure::None;
}

void StreamHealth::captureFailed(CaptureFailure reason, Clock::time_point now) {
    if (reason == reported_ || now - last_success_ < kSilenceBeforeReport)
        return;
    reported_ = reason;
    if (report_to_ == nullptr)
        return;
    const auto silent_s =
        std::chrono::duration_cast<std::chrono::seconds>(now - last_success_).count();
    std::fprintf(report_to_, "QuorvanTOFCamera: no complete frame for %lld s: %s\n",
                 static_cast<long long>(silent_s), describeCaptureFailure(reason));
}

}  // namespace Quorvan
