// Groups the frames of several cameras into sets taken at the same moment,
// by their host timestamps (QuorvanFrameBuffer::getHostTime). Cameras that
// are not triggered together capture at their own moments; a set is one
// frame of every camera, all within `tolerance` of each other.
//
// Frames come in camera by camera as they arrive, each camera's in the
// order of its host timestamps. A set is complete as soon as every camera
// has a frame that fits; a frame that can no longer fit any set (another
// camera's frames have all moved past it by more than the tolerance), or
// that waited longer than `patience` for its partners (a camera stopped
// delivering), is reported as unmatched. Every frame added ends up exactly
// once in a set or among the unmatched.
//
// Not thread-safe: one caller adds and takes at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "quorvan/export.h"
#include "quorvan/types.h"

namespace Quorvan {

struct FrameSetMember {
    uint32_t camera = 0;  // 0 .. cameras - 1
    int64_t host_ns = 0;  // host monotonic timestamp of the frame
    uint64_t id = 0;      // the caller's, to find the frame again (a sequence, an index)
};

// One frame per camera, in camera order.
using FrameSet = std::vector<FrameSetMember>;

class QUORVAN_API FrameSetMatcher {
public:
    static constexpr int64_t kDefaultPatienceNs = 500000000;  // 0.5 s

    // Half a frame period at `frame_rate`: frames of one camera are a whole
    // period apart, so no set can take two frames of the same camera, and
    // any two free-running cameras at that rate have frames this close.
    static int64_t defaultTolerance(double frame_rate);

    // `cameras` of at least 1; `tolerance_ns` and `patience_ns` not negative.
    // With bad arguments the matcher is invalid: every add is refused.
    FrameSetMatcher(uint32_t cameras, int64_t tolerance_ns,
                    int64_t patience_ns = kDefaultPatienceNs);

    bool valid() const { return valid_; }
    uint32_t cameras() const { return static_cast<uint32_t>(pending_.size()); }
    int64_t tolerance() const { return tolerance_ns_; }

    // Adds a frame; QuorvanInvalidParameter (frame not taken) for a camera
    // out of range, a host time before that camera's previous frame, or an
    // invalid matcher.
    TofErrorCode add(uint32_t camera, int64_t host_ns, uint64_t id);
    // Every frame still waiting becomes unmatched (at the end of a stream).
    void flush();

    // What was completed, and what was given up on, since the last call.
    std::vector<FrameSet> takeSets();
    std::vector<FrameSetMember> takeUnmatched();
    // Frames waiting for partners.
    std::size_t pending() const;

private:
    void match();
    void expire();
    void giveUp(uint32_t camera);

    bool valid_;
    int64_t tolerance_ns_;
    int64_t patience_ns_;
    std::vector<std::deque<FrameSetMember>> pending_;  // per camera, oldest first
    std::vector<int64_t> last_host_ns_;                // per camera
    std::vector<bool> seen_;                           // per camera: any frame yet
    int64_t newest_ns_ = 0;
    bool any_ = false;
    std::vector<FrameSet> sets_;
    std::vector<FrameSetMember> unmatched_;
};

}  // namespace Quorvan
