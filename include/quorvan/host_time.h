// When a frame was captured, on the host's clocks. The sensor stamps each
// frame with its own clock (FrameDataFormat::timestamp, milliseconds), which
// runs at its own offset and rate; the camera maps that stamp to the host's
// monotonic and real-time clocks (see README.md, "Host time"), so frames of
// several cameras, and frames and other host events, can be put side by side.
#pragma once

#include <cstdint>

namespace Quorvan {

struct HostTime {
    // The host's steady clock (CLOCK_MONOTONIC), nanoseconds, when the
    // sensor's clock showed the frame's timestamp.
    int64_t monotonic_ns = 0;
    // The same moment on the host's real-time clock (CLOCK_REALTIME),
    // nanoseconds since the Unix epoch.
    int64_t realtime_ns = 0;
    // How much faster the sensor's clock runs than the host's, in parts per
    // million, as estimated so far (0 until the estimate has a long enough
    // history).
    double drift_ppm = 0.0;
    // False during the warm-up after the first frame (or after the sensor's
    // clock jumped): the mapping is still learning and may be off by up to
    // the delivery latency.
    bool settled = false;
};

}  // namespace Quorvan
