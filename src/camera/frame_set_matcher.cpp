#include "quorvan/frame_set_matcher.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace Quorvan {

int64_t FrameSetMatcher::defaultTolerance(double frame_rate) {
    if (!(frame_rate > 0.0) || !std::isfinite(frame_rate))
        return 0;
    return static_cast<int64_t>(std::llround(0.5e9 / frame_rate));
}

FrameSetMatcher::FrameSetMatcher(uint32_t cameras, int64_t tolerance_ns, int64_t patience_ns)
    : valid_(cameras >= 1 && tolerance_ns >= 0 && patience_ns >= 0),
      tolerance_ns_(tolerance_ns),
      patience_ns_(patience_ns),
      pending_(valid_ ? cameras : 0),
      last_host_ns_(pending_.size(), 0),
      seen_(pending_.size(), false) {}

TofErrorCode FrameSetMatcher::add(uint32_t camera, int64_t host_ns, uint64_t id) {
    if (!valid_ || camera >= pending_.size())
        return QuorvanInvalidParameter;
    if (seen_[camera] && host_ns < last_host_ns_[camera])
        return QuorvanInvalidParameter;
    seen_[camera] = true;
    last_host_ns_[camera] = host_ns;
    pending_[camera].push_back(FrameSetMember{camera, host_ns, id});
    newest_ns_ = any_ ? std::max(newest_ns_, host_ns) : host_ns;
    any_ = true;
    match();
    expire();
    return QuorvanSuccess;
}

void FrameSetMatcher::match() {
    for (;;) {
        uint32_t earliest = 0;
        uint32_t latest = 0;
        for (uint32_t camera = 0; camera < pending_.size(); ++camera) {
            if (pending_[camera].empty())
                return;
            if (pending_[camera].front().host_ns < pending_[earliest].front().host_ns)
                earliest = camera;
            if (pending_[camera].front().host_ns > pending_[latest].front().host_ns)
                latest = camera;
        }
        const int64_t spread =
            pending_[latest].front().host_ns - pending_[earliest].front().host_ns;
        if (spread <= tolerance_ns_) {
            FrameSet set;
            set.reserve(pending_.size());
            for (auto& queue : pending_) {
                set.push_back(queue.front());
                queue.pop_front();
            }
            sets_.push_back(std::move(set));
            continue;
        }
        // Every later frame of the latest camera lies even further from the
        // earliest frame, so that one can never be part of a set.
        giveUp(earliest);
    }
}

void FrameSetMatcher::expire() {
    // A frame can still be matched by a partner that has not arrived yet;
    // once the newest frame seen is `patience` past it, it is given up on.
    for (uint32_t camera = 0; camera < pending_.size(); ++camera) {
        while (!pending_[camera].empty() &&
               newest_ns_ - pending_[camera].front().host_ns > patience_ns_)
            giveUp(camera);
    }
}

void FrameSetMatcher::giveUp(uint32_t camera) {
    unmatched_.push_back(pending_[camera].front());
    pending_[camera].pop_front();
}

void FrameSetMatcher::flush() {
    // Oldest first across cameras, as they would have expired.
    std::vector<FrameSetMember> left;
    for (auto& queue : pending_) {
        left.insert(left.end(), queue.begin(), queue.end());
        queue.clear();
    }
    std::stable_sort(
        left.begin(), left.end(),
        [](const FrameSetMember& a, const FrameSetMember& b) { return a.host_ns < b.host_ns; });
    unmatched_.insert(unmatched_.end(), left.begin(), left.end());
}

std::vector<FrameSet> FrameSetMatcher::takeSets() {
    return std::exchange(sets_, {});
}

std::vector<FrameSetMember> FrameSetMatcher::takeUnmatched() {
    return std::exchange(unmatched_, {});
}

std::size_t FrameSetMatcher::pending() const {
    std::size_t count = 0;
    for (const auto& queue : pending_)
        count += queue.size();
    return count;
}

}  // namespace Quorvan
