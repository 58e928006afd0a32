// What became of the captures of one stream. Counted from the last start
// (every counter starts at 0 there) and kept after stop until the next start.
//
// Every capture that produced a frame gets the next sequence number and ends
// in exactly one place, so at any moment
//     captured == delivered + overwritten + skipped + queued.
#pragma once

#include <cstdint>

namespace Quorvan {

struct FrameStatistics {
    uint64_t captured = 0;     // captures that produced a frame (sequence numbers given out)
    uint64_t delivered = 0;    // frames handed to a consumer by requestFrame
    uint64_t overwritten = 0;  // ready frames nobody took, reused for a newer capture
    uint64_t skipped = 0;      // captures dropped by the SKIP_FRAME pattern
    // Capture attempts that gave no frame: the sensor failed or timed out, or
    // the device could not process what it delivered. Not part of `captured`.
    uint64_t sensor_failures = 0;
    uint32_t queued = 0;  // frames ready and waiting for a consumer now
    // The device leaving and coming back (camera_connection.h): times it
    // left, times it was reopened and restarted, and the frames it would
    // have delivered while it was away (from its frame interval). Lost
    // frames got no sequence number and are not part of `captured`.
    uint64_t disconnects = 0;
    uint64_t reconnects = 0;
    uint64_t lost_while_disconnected = 0;
};

}  // namespace Quorvan
