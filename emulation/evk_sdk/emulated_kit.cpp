#include "emulated_kit.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sample_packing.h"
#include "scene/tof_capture.h"

namespace Quorvan {
namespace evk {

namespace {

// How often a waiting capture looks whether its kit is still on the bus.
constexpr auto kPlugPollInterval = std::chrono::milliseconds(10);

}  // namespace

std::unique_ptr<EmulatedKit> EmulatedKit::create(const KitConfig& config, uint32_t buffer_count,
                                                 std::string* error,
                                                 std::shared_ptr<PlugState> plug) {
    auto scene = emulation::makeScene(config.scene, config.scene_parameters, error);
    if (!scene)
        return nullptr;
    auto renderer = makeFrameRenderer(RendererInputs{config, *scene}, error);
    if (!renderer)
        return nullptr;
    if (config.frame_rate > 0.0) {
        // The host tells frames apart by a timestamp step of 6 ms or more.
        const double needed_ms = (renderer->imagesPerFrame() - 1.0) * config.subframe_interval_ms +
                                 ImageSchedule::kFrameBlankingMs;
        if (1000.0 / config.frame_rate < needed_ms) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "frame_rate: %g is too fast for %u images %u ms apart (at most %g)",
                          config.frame_rate, renderer->imagesPerFrame(),
                          config.subframe_interval_ms, 1000.0 / needed_ms);
            *error = text;
            return nullptr;
        }
    }
    // Kit timestamps are unsigned: its clock must not read before zero.
    const KitClock clock(config.clock, config.seed);
    if (clock.deviceTime(std::chrono::steady_clock::now()).time_since_epoch().count() < 0) {
        *error = "clock_offset_ms: " + std::to_string(config.clock.offset_ms) +
                 " puts the kit's clock before zero (the host's steady clock is younger)";
        return nullptr;
    }
    return std::unique_ptr<EmulatedKit>(
        new EmulatedKit(config, std::move(renderer), buffer_count, std::move(plug)));
}

EmulatedKit::EmulatedKit(const KitConfig& config, std::unique_ptr<FrameRenderer> renderer,
                         uint32_t buffer_count, std::shared_ptr<PlugState> plug)
    : config_(config),
      renderer_(std::move(renderer)),
      faults_(config.faults, config.seed),
      clock_(config.clock, config.seed),
      pixels_(renderer_->width() * renderer_->height()),
      image_bytes_(pixels_ * bytesPerSample(config.bits_per_pixel)),
      render_in_place_(storesWordsAsIs(config.bits_per_pixel)),
      plug_(std::move(plug)),
      departures_at_open_(plug_ ? plug_->read(Clock::now()).departures : 0),
      schedule_(config.frame_rate, renderer_->imagesPerFrame(), config.subframe_interval_ms,
                config.skip_missed_frames),
      slots_(buffer_count) {
    for (auto& slot : slots_) {
        slot.bytes.resize(image_bytes_);
        if (!render_in_place_)
            slot.scratch.resize(pixels_);
    }
}

bool EmulatedKit::vanished() const {
    if (!plug_)
        return false;
    const PlugState::Reading reading = plug_->read(Clock::now());
    return !reading.attached || reading.departures != departures_at_open_;
}

int EmulatedKit::init() {
    if (vanished())
        return QUORVAN_EVK_DEVICE_FAILURE;
    if (config_.faults.fail_init)
        return QUORVAN_EVK_DEVICE_FAILURE;
    std::lock_guard<std::mutex> lock(mutex_);
    initialised_ = true;
    return QUORVAN_EVK_OK;
}

void EmulatedKit::getConfig(QuorvanCameraConfig* config) const {
    *config = QuorvanCameraConfig{};
    config->width = renderer_->width();
    config->height = renderer_->height();
    config->bits_per_pixel = static_cast<uint8_t>(config_.bits_per_pixel);
}

int EmulatedKit::start() {
    if (vanished())
        return QUORVAN_EVK_DEVICE_FAILURE;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!initialised_ || streaming_)
        return QUORVAN_EVK_BAD_STATE;
    streaming_ = true;
    ++generation_;
    schedule_.restart(deviceNow());
    capture_calls_ = 0;
    images_delivered_ = 0;
    gap_applied_before_ = 0;
    return QUORVAN_EVK_OK;
}

int EmulatedKit::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        streaming_ = false;
        ++generation_;
    }
    stream_changed_.notify_all();
    return QUORVAN_EVK_OK;
}

EmulatedKit::WaitEnd EmulatedKit::waitUntil(std::unique_lock<std::mutex>& lock,
                                            Clock::time_point deadline, uint64_t generation) {
    for (;;) {
        // A kit that is never unplugged sleeps the whole wait in one piece.
        const auto slice = plug_ ? std::min(deadline, Clock::now() + kPlugPollInterval) : deadline;
        if (stream_changed_.wait_until(lock, slice, [&] { return generation_ != generation; }))
            return WaitEnd::StreamEnded;
        if (vanished())
            return WaitEnd::Vanished;
        if (Clock::now() >= deadline)
            return WaitEnd::Reached;
    }
}

int EmulatedKit::waitForDueImage(std::unique_lock<std::mutex>& lock, int32_t timeout_ms,
                                 uint64_t generation, ScheduledImage* image) {
    const auto limit = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    // The schedule runs on the kit's clock; the image leaves the kit when the
    // host's clock reaches that moment plus its frame's delivery delay (the
    // images of a frame travel together). An unpaced image is due whenever
    // it is asked for, so it has no delay.
    const bool paced = config_.frame_rate > 0.0;
    for (;;) {
        const auto now = Clock::now();
        const auto device_now = clock_.deviceTime(now);
        *image = schedule_.next(device_now);
        const auto delay =
            paced ? clock_.deliveryDelay(image->frame_index + 1) : Clock::duration::zero();
        // Compared on the kit's clock first: converting back to host time
        // may round a nanosecond past `now`.
        if (image->due <= device_now && delay == Clock::duration::zero())
            return QUORVAN_EVK_OK;
        const auto leaves = clock_.hostTime(image->due) + delay;
        if (leaves <= now)
            return QUORVAN_EVK_OK;
        const bool limited = timeout_ms >= 0 && limit < leaves;
        if (limited && now >= limit)
            return QUORVAN_EVK_TIMEOUT;
        switch (waitUntil(lock, limited ? limit : leaves, generation)) {
            case WaitEnd::StreamEnded:
                return QUORVAN_EVK_NOT_STARTED;
            case WaitEnd::Vanished:
                return QUORVAN_EVK_DEVICE_FAILURE;
            case WaitEnd::Reached:
                break;
        }
    }
}

int EmulatedKit::capture(QuorvanImage* image, int32_t timeout_ms) {
    if (vanished())
        return QUORVAN_EVK_DEVICE_FAILURE;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!streaming_)
        return QUORVAN_EVK_NOT_STARTED;
    const uint64_t generation = generation_;
    if (faults_.captureTimesOut(++capture_calls_)) {
        // The image that was due never arrives.
        schedule_.next(deviceNow());
        schedule_.consume();
        if (timeout_ms >= 0) {
            const auto wait = std::chrono::milliseconds(faults_.timeoutWaitMs(timeout_ms));
            switch (waitUntil(lock, Clock::now() + wait, generation)) {
                case WaitEnd::StreamEnded:
                    return QUORVAN_EVK_NOT_STARTED;
                case WaitEnd::Vanished:
                    return QUORVAN_EVK_DEVICE_FAILURE;
                case WaitEnd::Reached:
                    return QUORVAN_EVK_TIMEOUT;
            }
        }
    }
    const uint64_t number = images_delivered_ + 1;
    if (faults_.gapBefore(number) && gap_applied_before_ != number) {
        schedule_.insertGap(config_.faults.gap_ms);
        gap_applied_before_ = number;
    }
    ScheduledImage due;
    const int waited = waitForDueImage(lock, timeout_ms, generation, &due);
    if (waited != QUORVAN_EVK_OK)
        return waited;

    std::size_t slot_index = 0;
    while (slot_index < slots_.size() && slots_[slot_index].in_use)
        ++slot_index;
    if (slot_index == slots_.size())
        return QUORVAN_EVK_NO_BUFFER;
    Slot& slot = slots_[slot_index];
    slot.in_use = true;
    // Register changes take effect at the next frame, as on the sensor.
    if (due.image_index == 0)
        frame_modulation_hz_ = modulationFromRegister();
    const ImageRequest request{due.frame_index, due.image_index, frame_modulation_hz_};
    schedule_.consume();
    const uint64_t sequence = ++images_delivered_;
    const bool wrong_size = faults_.imageHasWrongSize(sequence);
    lock.unlock();

    // The slot is ours alone until it is released, so render without the lock.
    // Its bytes are the words themselves at 12 bits, so the renderer writes
    // them in place (the buffer comes from operator new, aligned for words).
    uint16_t* const in_place = reinterpret_cast<uint16_t*>(slot.bytes.data());
    const uint16_t* words =
        renderer_->renderImage(request, render_in_place_ ? in_place : slot.scratch.data());
    if (render_in_place_) {
        if (words != in_place)
            std::memcpy(in_place, words, image_bytes_);
    } else {
        packSamples(words, pixels_, config_.bits_per_pixel, slot.bytes.data());
    }

    *image = QuorvanImage{};
    image->slot = slot_index;
    image->timestamp = due.timestamp_ms;
    image->sequence = sequence;
    image->size = wrong_size ? image_bytes_ - 2 : image_bytes_;
    image->data = slot.bytes.data();
    image->owner = reinterpret_cast<uintptr_t>(this);
    return QUORVAN_EVK_OK;
}

int EmulatedKit::release(const QuorvanImage& image) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (image.owner != reinterpret_cast<uintptr_t>(this) || image.slot >= slots_.size())
        return QUORVAN_EVK_INVALID_ARGUMENT;
    Slot& slot = slots_[image.slot];
    if (!slot.in_use || image.data != slot.bytes.data())
        return QUORVAN_EVK_INVALID_ARGUMENT;
    slot.in_use = false;
    return QUORVAN_EVK_OK;
}

int EmulatedKit::writeRegister(uint32_t address, uint32_t value) {
    const bool known_value = value == kModulation75MHz || value == kModulation37_5MHz;
    if (address == kModulationRegister && known_value)
        modulation_register_.store(value);
    return QUORVAN_EVK_OK;
}

double EmulatedKit::modulationFromRegister() const {
    return modulation_register_.load() == kModulation75MHz ? emulation::kFrequency75MHz
                                                           : emulation::kFrequency37_5MHz;
}

}  // namespace evk
}  // namespace Quorvan
