#include "camera/capture_controls.h"

#include <cmath>

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

namespace {

bool isNonNegative(float value) {
    return std::isfinite(value) && value >= 0.0f;
}

bool areValid(const CaptureFilterSettings& settings) {
    const filters::TemporalParameters& temporal = settings.temporal_parameters;
    return isNonNegative(settings.min_amplitude) && isNonNegative(settings.flying.min_jump_mm) &&
           isNonNegative(settings.flying.relative_jump) && std::isfinite(temporal.alpha) &&
           temporal.alpha > 0.0f && temporal.alpha <= 1.0f && isNonNegative(temporal.reset_jump_mm);
}

}  // namespace

TofErrorCode CaptureControls::setFilters(const CaptureFilterSettings& settings) {
    if (!areValid(settings))
        return QuorvanInvalidParameter;
    std::lock_guard<std::mutex> lock(filters_mutex);
    filter_settings = settings;
    filters_generation.fetch_add(1, std::memory_order_release);
    return QuorvanSuccess;
}

CaptureFilterSettings CaptureControls::filters(uint64_t* generation) const {
    std::lock_guard<std::mutex> lock(filters_mutex);
    if (generation != nullptr)
        *generation = filters_generation.load(std::memory_order_relaxed);
    return filter_settings;
}

}  // namespace Quorvan
