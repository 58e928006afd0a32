#include "camera/capture_controls.h"

#include "camera/skip_pattern.h"

namespace Quorvan {

std::optional<TofErrorCode> CaptureControls::set(CameraCtrl control, int32_t value) {
    switch (control) {
        case CameraCtrl::SKIP_FRAME:
            if (!isValidSkipFrame(value, skipFrameLoop()))
                return QuorvanInvalidParameter;
            skip_frame.store(value, std::memory_order_relaxed);
            return QuorvanSuccess;
        case CameraCtrl::SKIP_FRAME_LOOP:
            if (!isValidSkipFrameLoop(value))
                return QuorvanInvalidParameter;
            skip_frame_loop.store(value, std::memory_order_relaxed);
            return QuorvanSuccess;
        case CameraCtrl::AUTO_FRAME_RATE:
            auto_frame_rate.store(value != 0, std::memory_order_relaxed);
            return QuorvanSuccess;
        default:
            return std::nullopt;
    }
}

std::optional<TofErrorCode> CaptureControls::get(CameraCtrl control, int32_t* value) const {
    // The skip settings are write-only here; reading them is the device's
    // business, as it always was.
    if (control != CameraCtrl::AUTO_FRAME_RATE)
        return std::nullopt;
    *value = autoFrameRate() ? 1 : 0;
    return QuorvanSuccess;
}

}  // namespace Quorvan
