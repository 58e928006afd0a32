// Whether each kit is on the bus. A kit leaves it when a test unplugs it
// (the explicit hook) or when its unplug schedule says so; a handle opened
// before the kit left is dead for good, as a USB device handle is after the
// device re-enumerates, so a camera has to open the kit again.
//
// Each serial has one PlugState, shared by every handle opened on it and
// read without a lock; the board that finds a serial's state is locked
// only when a kit opens, when the kits are listed and by the hook.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "kit_config.h"

namespace Quorvan {
namespace evk {

class PlugState {
public:
    using Clock = std::chrono::steady_clock;

    struct Reading {
        uint64_t departures = 0;  // times the kit has left the bus so far
        bool attached = true;
    };

    Reading read(Clock::time_point now) const;
    // The test hook: unplugging counts a departure, plugging back ends it.
    void setAttached(bool attached);
    // Takes the kit's unplug schedule, counted from `now`; only the first
    // call for a serial counts, so reopening after a departure keeps the
    // rhythm instead of starting it over.
    void armSchedule(const KitFaults& faults, Clock::time_point now);

private:
    std::atomic<uint64_t> manual_departures_{0};
    std::atomic<bool> manual_away_{false};
    std::atomic<bool> armed_{false};
    std::atomic<bool> schedule_ready_{false};
    // Written once, before schedule_ready_ is raised.
    uint32_t unplug_after_ms_ = 0;
    uint32_t unplugged_ms_ = 0;
    uint32_t unplug_every_ms_ = 0;
    Clock::time_point origin_{};
};

class PlugBoard {
public:
    // The state of `serial`, created (attached) on first use.
    static std::shared_ptr<PlugState> stateOf(const std::string& serial);
    // The state's reading now; a serial never seen is attached.
    static PlugState::Reading peek(const std::string& serial);
};

}  // namespace evk
}  // namespace Quorvan
