// The capture thread's depth filters: the chosen filters of
// CaptureFilterSettings, run in their fixed order over one depth frame. The
// scratch plane and the temporal history are sized when the settings or the
// frame size change, so steady streaming allocates nothing.
#pragma once

#include <cstddef>
#include <vector>

#include "quorvan/capture_filters.h"

namespace Quorvan {

class CaptureFilterChain {
public:
    // Takes new settings; the temporal history starts afresh.
    void configure(const CaptureFilterSettings& chosen);
    // Forgets the temporal history (a new stream).
    void restart();
    bool active() const { return settings.anyEnabled(); }

    // Filters `depth` (width x height, in place) using `amplitude` for the
    // threshold. Does nothing when no filter is chosen or the size is not
    // positive.
    void apply(float* depth, const float* amplitude, int width, int height);

private:
    void fitTo(std::size_t pixels);

    CaptureFilterSettings settings;
    std::vector<float> scratch;
    std::vector<float> history;
};

}  // namespace Quorvan
