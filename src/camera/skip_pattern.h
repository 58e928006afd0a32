// Frame skipping: drop `skip_frame` of every `skip_frame_loop` captured
// frames, spreading the dropped ones evenly over the loop.
#pragma once

#include <cstdint>

namespace Quorvan {

constexpr int32_t kMaxSkipFrameLoop = 255;

struct SkipStep {
    int32_t counter;  // position inside the loop after this frame
    bool dropped;
};

// Advances the loop position by one captured frame. Any pair of settings is
// safe: the two controls are set separately and read by the capture thread at
// any moment, so a loop outside 1..255 and a skip count outside 0..loop are
// clamped here rather than trusted.
SkipStep advanceSkipPattern(int32_t counter, int32_t skip_frame, int32_t skip_frame_loop);

bool isValidSkipFrameLoop(int32_t skip_frame_loop);
bool isValidSkipFrame(int32_t skip_frame, int32_t skip_frame_loop);

}  // namespace Quorvan
