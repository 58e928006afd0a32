// The camera-level controls the capture thread reads once per frame: the skip
// pattern, whether the frame rate is corrected automatically, and the depth
// filters to apply. The single values are relaxed atomics; the filter
// settings are a record, so they are copied under a lock, and a generation
// number (read without it) tells the thread when to copy them again.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

#include "quorvan/capture_filters.h"
#include "quorvan/types.h"

namespace Quorvan {

class CaptureControls {
public:
    // The result for a control this class keeps, or nothing for one the
    // device answers.
    std::optional<TofErrorCode> set(CameraCtrl control, int32_t value);
    std::optional<TofErrorCode> get(CameraCtrl control, int32_t* value) const;

    int32_t skipFrame() const { return skip_frame.load(std::memory_order_relaxed); }
    int32_t skipFrameLoop() const { return skip_frame_loop.load(std::memory_order_relaxed); }
    bool autoFrameRate() const { return auto_frame_rate.load(std::memory_order_relaxed); }

    // QuorvanInvalidParameter (nothing changes) for a parameter out of range:
    // a negative or non-finite threshold or jump, alpha outside (0, 1].
    TofErrorCode setFilters(const CaptureFilterSettings& settings);
    // The settings, and the generation they belong to (when asked).
    CaptureFilterSettings filters(uint64_t* generation = nullptr) const;
    // Changes with every accepted setFilters.
    uint64_t filtersGeneration() const {
        return filters_generation.load(std::memory_order_acquire);
    }

private:
    std::atomic<int32_t> skip_frame{0};
    std::atomic<int32_t> skip_frame_loop{1};
    std::atomic<bool> auto_frame_rate{true};

    mutable std::mutex filters_mutex;
    CaptureFilterSettings filter_settings;
    std::atomic<uint64_t> filters_generation{0};
};

}  // namespace Quorvan
