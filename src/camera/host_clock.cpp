#include "camera/host_clock.h"

#include <algorithm>
#include <cmath>

namespace Quorvan {

namespace {

constexpr double nanoseconds(std::chrono::nanoseconds duration) {
    return static_cast<double>(duration.count());
}

// Settled, an arrival this far before the line cannot be a frame stamped
// when its timestamp says (the line lies under the earliest arrivals, and
// extrapolating it is off by far less); it is left out of the fit. Several
// in a row mean the sensor's clock really moved, and the fit starts again.
constexpr double kEarlyToleranceNs = 2e6;
constexpr uint32_t kEarlyArrivalsBeforeReset = 8;
// Stretches of the window whose earliest arrivals fix the slope.
constexpr uint32_t kSegments = 8;

// Positive when a, b, c turn counter-clockwise.
double cross(double ax, double ay, double bx, double by, double cx, double cy) {
    return (bx - ax) * (cy - ay) - (by - ay) * (cx - ax);
}

}  // namespace

HostArrival HostArrival::now() {
    // The real-time clock is read between two readings of the monotonic one,
    // so the offset is exact to half the time the three readings take.
    const auto before = std::chrono::steady_clock::now();
    const auto real = std::chrono::system_clock::now();
    const auto after = std::chrono::steady_clock::now();
    const int64_t monotonic =
        std::chrono::duration_cast<std::chrono::nanoseconds>(before.time_since_epoch()).count() +
        std::chrono::duration_cast<std::chrono::nanoseconds>(after - before).count() / 2;
    const int64_t realtime =
        std::chrono::duration_cast<std::chrono::nanoseconds>(real.time_since_epoch()).count();
    HostArrival arrival;
    arrival.monotonic_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(after.time_since_epoch()).count();
    arrival.realtime_offset_ns = realtime - monotonic;
    return arrival;
}

HostClock::HostClock() : buckets_(kWindowBuckets) {
    hull_.reserve(kWindowBuckets);
}

void HostClock::reset() {
    started_ = false;
    first_ = 0;
    size_ = 0;
    early_streak_ = 0;
    line_ = Line{};
}

HostTime HostClock::map(uint64_t device_ms, const HostArrival& arrival) {
    const int64_t device_ns = static_cast<int64_t>(device_ms) * 1000000;
    const auto pointFor = [&]() {
        Point point;
        point.x = static_cast<double>(device_ns - origin_device_ns_);
        point.y = static_cast<double>(arrival.monotonic_ns - device_ns - origin_gap_ns_);
        point.bucket = (device_ns - origin_device_ns_) / kBucket.count();
        return point;
    };
    bool use_point = true;
    if (started_) {
        const Point point = pointFor();
        const double residual = point.y - predict(line_, point.x);
        const bool jumped =
            device_ns < last_device_ns_ || std::fabs(residual) > nanoseconds(kResetResidual);
        const bool early = settled() && residual < -kEarlyToleranceNs;
        if (jumped || (early && ++early_streak_ >= kEarlyArrivalsBeforeReset)) {
            reset();
        } else if (early) {
            use_point = false;
        } else {
            early_streak_ = 0;
        }
    }
    if (!started_) {
        started_ = true;
        origin_device_ns_ = device_ns;
        origin_gap_ns_ = arrival.monotonic_ns - device_ns;
    }
    last_device_ns_ = device_ns;
    const Point point = pointFor();
    if (use_point) {
        insert(point);
        line_ = fit();
    }

    const double gap = predict(line_, point.x);
    HostTime time;
    const auto estimate = device_ns + origin_gap_ns_ + static_cast<int64_t>(std::llround(gap));
    time.monotonic_ns = std::min(estimate, arrival.monotonic_ns);
    time.realtime_ns = time.monotonic_ns + arrival.realtime_offset_ns;
    if (span() >= nanoseconds(kSlopeSpan))
        time.drift_ppm = (1.0 / (1.0 + line_.slope) - 1.0) * 1e6;
    time.settled = settled();
    return time;
}

double HostClock::span() const {
    if (size_ < 2)
        return 0.0;
    return at(size_ - 1).x - at(0).x;
}

void HostClock::insert(const Point& point) {
    if (size_ > 0) {
        Point& newest = at(size_ - 1);
        if (newest.bucket == point.bucket) {
            if (point.y < newest.y)
                newest = point;
            return;
        }
    }
    while (size_ > 0 && (size_ == kWindowBuckets ||
                         at(0).bucket <= point.bucket - static_cast<int64_t>(kWindowBuckets))) {
        first_ = (first_ + 1) % kWindowBuckets;
        --size_;
    }
    at(size_) = point;
    ++size_;
}

HostClock::Line HostClock::fit() {
    Line line;
    line.y0 = at(0).y;
    for (uint32_t i = 1; i < size_; ++i)
        line.y0 = std::min(line.y0, at(i).y);
    if (span() < nanoseconds(kSlopeSpan))
        return line;

    // Lower convex hull of the buckets, which are ordered by sensor time.
    hull_.clear();
    for (uint32_t i = 0; i < size_; ++i) {
        const Point& point = at(i);
        while (hull_.size() >= 2) {
            const Point& a = hull_[hull_.size() - 2];
            const Point& b = hull_.back();
            if (cross(a.x, a.y, b.x, b.y, point.x, point.y) > 0)
                break;
            hull_.pop_back();
        }
        hull_.push_back(point);
    }
    // Supported in the middle, the line rests on the window's earliest
    // arrivals on both sides; nearer the newest end it would rest on the few
    // newest ones, which are no earlier than any others.
    const double middle = (at(0).x + at(size_ - 1).x) / 2;
    std::size_t edge = 0;
    while (edge + 2 < hull_.size() && hull_[edge + 1].x < middle)
        ++edge;
    const Point& a = hull_[edge];
    const Point& b = hull_[edge + 1];
    const double hull_slope = (b.y - a.y) / (b.x - a.x);

    // That edge rests on two arrivals only, so its slope is as noisy as
    // they are. The slope is refined by a least-squares fit through the
    // earliest arrival of each of kSegments stretches of the window (found
    // under the edge's slope, which hardly matters within a stretch), and
    // the line is then lowered onto the earliest arrival under that slope.
    const double origin = at(0).x;
    double n = 0, sum_x = 0, sum_y = 0, sum_xx = 0, sum_xy = 0;
    for (uint32_t segment = 0; segment < kSegments; ++segment) {
        const uint32_t begin = segment * size_ / kSegments;
        const uint32_t end = (segment + 1) * size_ / kSegments;
        if (begin == end)
            continue;
        uint32_t earliest = begin;
        for (uint32_t i = begin + 1; i < end; ++i) {
            if (at(i).y - hull_slope * at(i).x < at(earliest).y - hull_slope * at(earliest).x)
                earliest = i;
        }
        const double x = at(earliest).x - origin;
        const double y = at(earliest).y;
        n += 1;
        sum_x += x;
        sum_y += y;
        sum_xx += x * x;
        sum_xy += x * y;
    }
    const double spread = n * sum_xx - sum_x * sum_x;
    double slope = hull_slope;
    if (n >= 3 && spread > 0)
        slope = (n * sum_xy - sum_x * sum_y) / spread;
    line.slope = std::clamp(slope, -kLargestRateError, kLargestRateError);
    line.y0 = at(0).y - line.slope * at(0).x;
    for (uint32_t i = 1; i < size_; ++i)
        line.y0 = std::min(line.y0, at(i).y - line.slope * at(i).x);
    return line;
}

}  // namespace Quorvan
