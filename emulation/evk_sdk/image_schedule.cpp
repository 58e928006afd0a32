#include "image_schedule.h"

#include <algorithm>

namespace Quorvan {
namespace evk {

namespace {

uint64_t steadyMilliseconds(std::chrono::steady_clock::time_point when) {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count());
}

}  // namespace

ImageSchedule::ImageSchedule(double frame_rate, uint32_t images_per_frame,
                             uint32_t subframe_interval_ms, bool skip_missed)
    : paced_(frame_rate > 0.0),
      skip_missed_(skip_missed),
      images_per_frame_(std::max<uint32_t>(1, images_per_frame)),
      interval_ms_(subframe_interval_ms) {
    if (paced_) {
        period_ = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(1.0 / frame_rate));
    }
}

void ImageSchedule::restart(Clock::time_point now) {
    origin_ = now;
    frame_ = 0;
    image_ = 0;
    frame_begun_ = false;
    have_previous_frame_ = false;
    pending_gap_ms_ = 0;
}

ImageSchedule::Clock::time_point ImageSchedule::frameDue(uint64_t frame) const {
    return origin_ + period_ * static_cast<Clock::rep>(frame);
}

void ImageSchedule::beginFrame(Clock::time_point now) {
    if (paced_) {
        // A frame whose successor is already due was missed entirely.
        if (skip_missed_ && now >= frameDue(frame_ + 1) && period_.count() > 0) {
            frame_ = static_cast<uint64_t>((now - origin_) / period_);
        }
        frame_due_ = frameDue(frame_);
    } else {
        frame_due_ = now;
    }
    uint64_t stamp = steadyMilliseconds(frame_due_) + pending_gap_ms_;
    if (have_previous_frame_)
        stamp = std::max(stamp, previous_frame_end_ms_ + kFrameBlankingMs + pending_gap_ms_);
    frame_stamp_ms_ = stamp;
    pending_gap_ms_ = 0;
    frame_begun_ = true;
}

ScheduledImage ImageSchedule::next(Clock::time_point now) {
    if (!frame_begun_)
        beginFrame(now);
    ScheduledImage image;
    image.frame_index = frame_;
    image.image_index = image_;
    image.timestamp_ms = frame_stamp_ms_ + static_cast<uint64_t>(image_) * interval_ms_;
    image.due = paced_ ? frame_due_ + std::chrono::milliseconds(image_ * interval_ms_) : now;
    return image;
}

void ImageSchedule::consume() {
    const uint64_t stamp = frame_stamp_ms_ + static_cast<uint64_t>(image_) * interval_ms_;
    if (++image_ < images_per_frame_)
        return;
    previous_frame_end_ms_ = stamp;
    have_previous_frame_ = true;
    image_ = 0;
    ++frame_;
    frame_begun_ = false;
}

void ImageSchedule::insertGap(uint32_t gap_ms) {
    if (image_ == 0) {
        frame_begun_ = false;  // a frame not yet stamped takes the gap itself
    } else {
        previous_frame_end_ms_ = frame_stamp_ms_ + static_cast<uint64_t>(image_ - 1) * interval_ms_;
        have_previous_frame_ = true;
        image_ = 0;
        ++frame_;
        frame_begun_ = false;
    }
    pending_gap_ms_ += gap_ms;
}

}  // namespace evk
}  // namespace Quorvan
