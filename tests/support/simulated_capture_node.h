// A V4L2 capture node of a CSI receiver: capabilities, input, format
// negotiation, eight-or-so memory-mapped streaming buffers and a stream of
// sub-frames (four phase images per capture) with timestamps. Dequeue never
// blocks: the next sub-frame is always ready while buffers are queued.
#pragma once

#include <linux/videodev2.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/driver_layout.h"
#include "support/simulated_device.h"
#include "support/subframe_source.h"

namespace Quorvan {
namespace simulation {

struct CaptureNodeSetup {
    uint32_t capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    uint32_t pixel_format = v4l2_fourcc('Y', '1', '2', ' ');  // the one format produced
    DriverLayout layout = DriverLayout::Plain;
};

class SimulatedCaptureNode final : public SimulatedDevice {
public:
    SimulatedCaptureNode(CaptureNodeSetup setup, std::shared_ptr<SensorState> sensor,
                         std::shared_ptr<SubframeSource> source);

    int ioctl(unsigned long request, void* argument) override;
    void* mapMemory(size_t length, off_t offset) override;
    void releaseMapping(const void* address, size_t length) override;
    // As videobuf2: an error while not streaming, readable with a buffer
    // queued (the simulated sensor fills it at once), else nothing.
    short pollEvents() const override;

    // What VIDIOC_QUERYCAP names as the driver.
    std::string driver_name = "simulated-csi";
    // Driver behaviour, changed by tests before streaming.
    uint32_t granted_buffers = 0;             // 0: as many as requested
    uint32_t extra_buffer_bytes = 0;          // each buffer this much longer than a frame
    uint32_t overstated_length = 0;           // dequeue reports the length plus this
    int64_t first_timestamp_us = 1000990000;  // 10 ms before a second boundary
    int64_t subframe_spacing_us = 1000;
    // Refuses STREAMON with the errno it returns (0 accepts), e.g. while a
    // media link is disabled.
    std::function<int()> stream_check;
    // The `dequeue_number`-th dequeue (counting from 0) reports `index`.
    void reportIndexOnDequeue(uint64_t dequeue_number, uint32_t index);
    // The `dequeue_number`-th dequeue carries V4L2_BUF_FLAG_ERROR, as vivid's
    // injected buffer error does.
    void flagErrorOnDequeue(uint64_t dequeue_number) { error_flagged.insert(dequeue_number); }
    // Sub-frame `subframe_number` (counting from 0) and all after it arrive
    // `microseconds` later.
    void addTimestampGap(uint64_t subframe_number, int64_t microseconds);

    // Observation.
    bool streaming() const { return is_streaming; }
    const v4l2_pix_format& currentFormat() const { return format; }
    uint32_t bufferCount() const { return static_cast<uint32_t>(storage.size()); }
    size_t queuedCount() const { return queue.size(); }
    uint64_t dequeuedCount() const { return dequeues; }
    int liveMappings() const { return live_mappings; }
    // Phase (0..3) of the next sub-frame the sensor delivers.
    int nextPhase() const { return static_cast<int>(subframes % 4); }

private:
    static constexpr off_t kOffsetStride = 1 << 20;

    bool acceptsType(uint32_t type) const;
    bool isMultiPlanar() const;
    int negotiateFormat(v4l2_format& requested, bool apply);
    static void fillFormat(v4l2_format& record, const v4l2_pix_format& source);
    int requestBuffers(v4l2_requestbuffers& request);
    int describeBuffer(v4l2_buffer& buffer, uint32_t index) const;
    int queueBuffer(v4l2_buffer& buffer);
    int dequeueBuffer(v4l2_buffer& buffer);
    int setStreaming(const int* type, bool on);
    const std::vector<uint8_t>& subframeBytes(int phase);
    size_t bufferLength() const;

    CaptureNodeSetup setup;
    std::shared_ptr<SensorState> sensor;
    std::shared_ptr<SubframeSource> source;
    v4l2_pix_format format{};
    std::vector<std::vector<uint8_t>> storage;
    std::vector<bool> queued;
    std::deque<uint32_t> queue;
    std::set<uint64_t> error_flagged;
    bool is_streaming = false;
    int live_mappings = 0;
    uint64_t dequeues = 0;
    uint64_t subframes = 0;
    int64_t next_timestamp_us = 0;
    bool timestamps_started = false;
    std::map<uint64_t, uint32_t> index_overrides;
    std::map<uint64_t, int64_t> timestamp_gaps;
    // Laid-out phase images for the format and range they were made for.
    std::vector<std::vector<uint8_t>> prepared;
    uint32_t prepared_width = 0;
    uint32_t prepared_height = 0;
    int prepared_range = -1;
};

}  // namespace simulation
}  // namespace Quorvan
