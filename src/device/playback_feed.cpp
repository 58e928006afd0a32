#include "device/playback_feed.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace Quorvan {

void PlaybackFeed::open(size_t samples_per_capture) {
    std::lock_guard<std::mutex> lock(mutex_);
    captures_.clear();
    spare_.clear();
    samples_per_capture_ = samples_per_capture;
    ++stream_;
    open_ = true;
}

void PlaybackFeed::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = false;
        captures_.clear();
    }
    // Wakes a pusher waiting for room and the capture thread waiting for data.
    changed_.notify_all();
}

TofErrorCode PlaybackFeed::push(const uint16_t* samples, size_t count, uint64_t timestamp,
                                int32_t timeout_ms) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!open_)
            return QuorvanUnkownError;
        if (samples == nullptr || count != samples_per_capture_)
            return QuorvanInvalidParameter;
    }
    const Fill copy = [samples, count](uint16_t* cache, size_t wanted) {
        if (wanted != count)
            return false;  // reopened for another size meanwhile
        std::memcpy(cache, samples, count * sizeof(uint16_t));
        return true;
    };
    return push(copy, timestamp, timeout_ms);
}

TofErrorCode PlaybackFeed::push(const Fill& fill, uint64_t timestamp, int32_t timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!open_)
        return QuorvanUnkownError;
    const uint64_t stream = stream_;
    const size_t samples = samples_per_capture_;
    std::vector<uint16_t> buffer;
    if (!spare_.empty()) {
        buffer = std::move(spare_.back());
        spare_.pop_back();
    }
    // The copy or conversion runs unlocked: the capture thread may take the
    // previous capture meanwhile.
    lock.unlock();
    buffer.resize(samples);
    const bool filled = fill(buffer.data(), samples);
    lock.lock();
    const auto keep_spare = [&] {
        if (stream_ == stream)
            spare_.push_back(std::move(buffer));
    };
    if (!filled) {
        keep_spare();
        return QuorvanInvalidParameter;
    }
    const auto room = [&] {
        return !open_ || stream_ != stream || captures_.size() < kQueuedCaptures;
    };
    if (!changed_.wait_for(lock, std::chrono::milliseconds(std::max(timeout_ms, 0)), room) ||
        !open_ || stream_ != stream) {
        keep_spare();
        return QuorvanUnkownError;
    }
    captures_.push_back(Capture{std::move(buffer), timestamp});
    lock.unlock();
    changed_.notify_all();
    return QuorvanSuccess;
}

TofErrorCode PlaybackFeed::take(uint16_t* cache, uint64_t* timestamp, int32_t timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto ready = [this] { return !open_ || !captures_.empty(); };
    if (!changed_.wait_for(lock, std::chrono::milliseconds(std::max(timeout_ms, 0)), ready) ||
        !open_)
        return QuorvanUnkownError;
    Capture capture = std::move(captures_.front());
    captures_.pop_front();
    std::memcpy(cache, capture.samples.data(), capture.samples.size() * sizeof(uint16_t));
    *timestamp = capture.timestamp;
    spare_.push_back(std::move(capture.samples));
    lock.unlock();
    changed_.notify_all();
    return QuorvanSuccess;
}

void PlaybackFeed::clear() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Capture& capture : captures_)
            spare_.push_back(std::move(capture.samples));
        captures_.clear();
    }
    changed_.notify_all();
}

size_t PlaybackFeed::samplesPerCapture() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return samples_per_capture_;
}

bool PlaybackFeed::isOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

size_t PlaybackFeed::queued() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return captures_.size();
}

}  // namespace Quorvan
