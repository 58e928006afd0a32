// One emulated evaluation kit: a configured sensor geometry rendering a
// scene, paced like the real device, with optional injected faults. The C
// functions of quorvan_evk_sdk.h are thin wrappers around it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fault_injector.h"
#include "frame_renderer.h"
#include "image_schedule.h"
#include "kit_clock.h"
#include "kit_config.h"
#include "kit_plug_board.h"
#include "quorvan_evk_sdk.h"

namespace Quorvan {
namespace evk {

// Sensor registers the kit reacts to.
constexpr uint32_t kModulationRegister = 0x216c;
constexpr uint32_t kModulation75MHz = 0x08;
constexpr uint32_t kModulation37_5MHz = 0x10;

class EmulatedKit {
public:
    // Null, with *error set, when the configuration cannot be realised
    // (unknown geometry or scene, a frame rate the geometry cannot reach).
    // `plug` tells whether the kit is still on the bus; null for a kit that
    // never leaves it.
    static std::unique_ptr<EmulatedKit> create(const KitConfig& config, uint32_t buffer_count,
                                               std::string* error,
                                               std::shared_ptr<PlugState> plug = nullptr);

    int init();
    void getConfig(QuorvanCameraConfig* config) const;
    int start();
    int stop();
    int capture(QuorvanImage* image, int32_t timeout_ms);
    int release(const QuorvanImage& image);
    int writeRegister(uint32_t address, uint32_t value);
    const std::string& serial() const { return config_.serial; }
    // True once the kit has left the bus after this handle was opened.
    bool vanished() const;

private:
    using Clock = std::chrono::steady_clock;

    struct Slot {
        std::vector<uint8_t> bytes;
        std::vector<uint16_t> scratch;  // 12-bit words before packing (empty when in place)
        bool in_use = false;
    };

    enum class WaitEnd { Reached, StreamEnded, Vanished };

    EmulatedKit(const KitConfig& config, std::unique_ptr<FrameRenderer> renderer,
                uint32_t buffer_count, std::shared_ptr<PlugState> plug);
    // Waits until `deadline`, or until the stream `generation` ends or the
    // kit leaves the bus.
    WaitEnd waitUntil(std::unique_lock<std::mutex>& lock, Clock::time_point deadline,
                      uint64_t generation);
    int waitForDueImage(std::unique_lock<std::mutex>& lock, int32_t timeout_ms, uint64_t generation,
                        ScheduledImage* image);
    double modulationFromRegister() const;
    // Now on the kit's own clock, which paces and stamps the images.
    Clock::time_point deviceNow() const { return clock_.deviceTime(Clock::now()); }

    const KitConfig config_;
    const std::unique_ptr<FrameRenderer> renderer_;
    const FaultInjector faults_;
    const KitClock clock_;
    const uint32_t pixels_;
    const uint32_t image_bytes_;
    const bool render_in_place_;  // the stored samples are the words (storesWordsAsIs)
    const std::shared_ptr<PlugState> plug_;
    const uint64_t departures_at_open_;
    std::atomic<uint32_t> modulation_register_{kModulation37_5MHz};

    std::mutex mutex_;  // guards every member below
    std::condition_variable stream_changed_;
    bool initialised_ = false;
    bool streaming_ = false;
    uint64_t generation_ = 0;  // changes at every start and stop
    ImageSchedule schedule_;
    uint64_t capture_calls_ = 0;
    uint64_t images_delivered_ = 0;
    uint64_t gap_applied_before_ = 0;  // image number whose gap was already inserted
    double frame_modulation_hz_ = 0.0;
    std::vector<Slot> slots_;
};

}  // namespace evk
}  // namespace Quorvan
