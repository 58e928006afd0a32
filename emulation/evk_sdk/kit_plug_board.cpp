#include "kit_plug_board.h"

#include <map>
#include <mutex>

namespace Quorvan {
namespace evk {

PlugState::Reading PlugState::read(Clock::time_point now) const {
    Reading reading;
    reading.departures = manual_departures_.load();
    reading.attached = !manual_away_.load();
    if (!schedule_ready_.load(std::memory_order_acquire) || unplugged_ms_ == 0)
        return reading;
    const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(now - origin_).count();
    if (since < unplug_after_ms_)
        return reading;
    const uint64_t into = static_cast<uint64_t>(since) - unplug_after_ms_;
    uint64_t cycles = 1;
    uint64_t into_cycle = into;
    if (unplug_every_ms_ != 0) {
        cycles = into / unplug_every_ms_ + 1;
        into_cycle = into % unplug_every_ms_;
    }
    reading.departures += cycles;
    if (into_cycle < unplugged_ms_)
        reading.attached = false;
    return reading;
}

void PlugState::setAttached(bool attached) {
    if (!attached && !manual_away_.exchange(true))
        manual_departures_.fetch_add(1);
    if (attached)
        manual_away_.store(false);
}

void PlugState::armSchedule(const KitFaults& faults, Clock::time_point now) {
    if (armed_.exchange(true))
        return;
    unplug_after_ms_ = faults.unplug_after_ms;
    unplugged_ms_ = faults.unplugged_ms;
    unplug_every_ms_ = faults.unplug_every_ms;
    origin_ = now;
    schedule_ready_.store(true, std::memory_order_release);
}

namespace {

struct Board {
    std::mutex mutex;  // guards states
    std::map<std::string, std::shared_ptr<PlugState>> states;
};

Board& board() {
    // Never destroyed: a capture thread may still read a state at exit.
    static Board* const instance = new Board;
    return *instance;
}

}  // namespace

std::shared_ptr<PlugState> PlugBoard::stateOf(const std::string& serial) {
    Board& b = board();
    std::lock_guard<std::mutex> lock(b.mutex);
    auto& state = b.states[serial];
    if (!state)
        state = std::make_shared<PlugState>();
    return state;
}

PlugState::Reading PlugBoard::peek(const std::string& serial) {
    Board& b = board();
    std::shared_ptr<PlugState> state;
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        const auto found = b.states.find(serial);
        if (found == b.states.end())
            return PlugState::Reading{};
        state = found->second;
    }
    return state->read(PlugState::Clock::now());
}

}  // namespace evk
}  // namespace Quorvan
