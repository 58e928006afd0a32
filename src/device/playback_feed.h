// The bounded hand-over between the application (push) and the playback
// sensor in the camera's capture thread (take). Captures are whole raw
// caches: subframe_count sub-frames of width x height 16-bit samples.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "quorvan/types.h"

namespace Quorvan {

class PlaybackFeed {
public:
    static constexpr size_t kQueuedCaptures = 2;

    // Writes one capture of `samples` samples into `cache`; false when the
    // source does not fit (the push is then refused as an invalid parameter).
    using Fill = std::function<bool(uint16_t* cache, size_t samples)>;

    // Samples in one capture are fixed by open(); until then, and after
    // close(), every push is refused.
    void open(size_t samples_per_capture);
    void close();

    // Queues a copy of one capture, waiting up to timeout_ms for room.
    // QuorvanInvalidParameter for a wrong sample count or null samples,
    // QuorvanUnkownError on a timeout or when the feed is closed.
    TofErrorCode push(const uint16_t* samples, size_t count, uint64_t timestamp,
                      int32_t timeout_ms);
    // Queues the capture `fill` writes. Each push fills a buffer of its own
    // outside the lock, so concurrent pushers never share one.
    TofErrorCode push(const Fill& fill, uint64_t timestamp, int32_t timeout_ms);
    // The oldest capture into `cache` (samples_per_capture 16-bit samples),
    // waiting up to timeout_ms; QuorvanUnkownError when none came or closed.
    TofErrorCode take(uint16_t* cache, uint64_t* timestamp, int32_t timeout_ms);
    // Forgets queued captures (after a seek, or when streaming stops).
    void clear();

    size_t samplesPerCapture() const;
    size_t queued() const;
    bool isOpen() const;

private:
    struct Capture {
        std::vector<uint16_t> samples;
        uint64_t timestamp;
    };

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Capture> captures_;
    // Buffers of taken captures, reused so that playback does not allocate
    // per frame once it runs.
    std::vector<std::vector<uint16_t>> spare_;
    size_t samples_per_capture_ = 0;
    // Counts opens, so that a push that filled its buffer for one stream
    // does not queue it into the next.
    uint64_t stream_ = 0;
    bool open_ = false;
};

}  // namespace Quorvan
