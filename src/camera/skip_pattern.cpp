#include "camera/skip_pattern.h"

#include <algorithm>

namespace Quorvan {

SkipStep advanceSkipPattern(int32_t counter, int32_t skip_frame, int32_t skip_frame_loop) {
    const int32_t loop = std::clamp(skip_frame_loop, int32_t{1}, kMaxSkipFrameLoop);
    const int32_t skip = std::clamp(skip_frame, int32_t{0}, loop);
    const int32_t position = (std::max(counter, int32_t{0}) % loop + 1) % loop;
    // Of the L positions in a loop, k = L - skip are kept: position n is kept
    // when floor(n*k/L) steps up at n+1, which happens exactly k times per
    // loop and spaces the kept frames as evenly as integers allow.
    const int32_t kept = loop - skip;
    const bool dropped = (position * kept) / loop == ((position + 1) * kept) / loop;
    return {position, dropped};
}

bool isValidSkipFrameLoop(int32_t skip_frame_loop) {
    return skip_frame_loop >= 1 && skip_frame_loop <= kMaxSkipFrameLoop;
}

bool isValidSkipFrame(int32_t skip_frame, int32_t skip_frame_loop) {
    return skip_frame >= 0 && skip_frame <= skip_frame_loop;
}

}  // namespace Quorvan
