// When each image of the stream is due and which timestamp it carries.
//
// Paced: camera frame k is due at start + k / frame_rate and its images
// follow subframe_interval_ms apart. Deadlines are absolute, so the rate
// does not drift with how long the caller takes; a caller that falls more
// than a frame behind skips the frames it missed, as a sensor that keeps
// running would. Unpaced: every image is due at once.
//
// Timestamps are milliseconds of the steady clock. Consecutive frames are
// stamped at least kFrameBlankingMs after the previous frame's last image,
// so a host can tell a missing image from the next frame's first.
#pragma once

#include <chrono>
#include <cstdint>

namespace Quorvan {
namespace evk {

struct ScheduledImage {
    uint64_t frame_index = 0;
    uint32_t image_index = 0;
    uint64_t timestamp_ms = 0;
    std::chrono::steady_clock::time_point due;
};

class ImageSchedule {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr uint32_t kFrameBlankingMs = 6;

    // frame_rate 0 means unpaced. skip_missed: a late caller skips the frames
    // it missed; otherwise each comes, late.
    ImageSchedule(double frame_rate, uint32_t images_per_frame, uint32_t subframe_interval_ms,
                  bool skip_missed = true);

    void restart(Clock::time_point now);
    // The image that comes next (skipping missed frames first); it stays
    // next until consume().
    ScheduledImage next(Clock::time_point now);
    void consume();
    // Ends the current frame early: the next image opens a new frame whose
    // timestamps jump by gap_ms, as when the sensor lost images.
    void insertGap(uint32_t gap_ms);

private:
    Clock::time_point frameDue(uint64_t frame) const;
    void beginFrame(Clock::time_point now);

    bool paced_;
    bool skip_missed_;
    Clock::duration period_{};
    uint32_t images_per_frame_;
    uint32_t interval_ms_;
    Clock::time_point origin_;
    uint64_t frame_ = 0;
    uint32_t image_ = 0;
    bool frame_begun_ = false;
    uint64_t frame_stamp_ms_ = 0;
    uint64_t previous_frame_end_ms_ = 0;
    bool have_previous_frame_ = false;
    uint64_t pending_gap_ms_ = 0;
    Clock::time_point frame_due_;
};

}  // namespace evk
}  // namespace Quorvan
