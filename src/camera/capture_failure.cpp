#include "quorvan/capture_failure.h"

namespace Quorvan {

const char* describeCaptureFailure(CaptureFailure failure) {
    switch (failure) {
        case CaptureFailure::None:
            return "captures succeed";
        case CaptureFailure::Timeout:
            return "captures time out";
        case CaptureFailure::WrongSize:
            return "images arrive with the wrong size";
        case CaptureFailure::TimestampGap:
            return "sub-frames arrive with timestamp gaps";
        case CaptureFailure::DeviceError:
            return "the device reports errors";
        case CaptureFailure::Disconnected:
            return "the device is disconnected";
        case CaptureFailure::SourceIdle:
            return "nothing is being fed to the camera";
        case CaptureFailure::Unknown:
            break;
    }
    return "captures fail for a reason the sensor does not give";
}

}  // namespace Quorvan
