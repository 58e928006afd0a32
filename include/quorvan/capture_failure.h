// Why a sensor's getFrame gave no frame, as far as the sensor can tell. The
// capture thread names it when a stream has produced nothing for a while, so
// a user learns why instead of seeing requestFrame return null for ever.
#pragma once

#include "quorvan/export.h"

namespace Quorvan {

enum class CaptureFailure {
    None,          // the last capture succeeded
    Unknown,       // the sensor gave no reason
    Timeout,       // no image arrived within the capture timeout
    WrongSize,     // an image of another size than the sensor's format
    TimestampGap,  // sub-frames too far apart to belong to one capture
    DeviceError,   // the device or driver reported an error
    Disconnected,  // the device left the bus (unplugged); its handle is dead
    // Nothing was offered: a source fed by the program (a playback feed)
    // whose feeder paused. Not a failure, so it is never reported as one.
    SourceIdle,
};

// A short phrase for messages ("captures time out", ...).
QUORVAN_API const char* describeCaptureFailure(CaptureFailure failure);

}  // namespace Quorvan
