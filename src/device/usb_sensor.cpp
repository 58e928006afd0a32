#include "device/usb_sensor.h"

#include <iterator>

#include "device/range_modes.h"
#include "device/usb_sample_conversion.h"
#include "quorvan/camera.h"

namespace Quorvan {

QuorvanTOFUSBSensor::QuorvanTOFUSBSensor(const char* config_path, uint32_t index)
    : QuorvanTOFUSBSensor(config_path, index, linkedEvkLibrary()) {}

QuorvanTOFUSBSensor::QuorvanTOFUSBSensor(const char* config_path, uint32_t index,
                                         EvkLibrary& library)
    : library(library), config_path(config_path ? config_path : ""), device_index(index) {}

QuorvanTOFUSBSensor::~QuorvanTOFUSBSensor() {
    if (handle) {
        if (streaming.load())
            library.stopCamera(handle);
        library.closeCamera(handle);
    }
}

bool QuorvanTOFUSBSensor::isBinaryConfigPath(const std::string& path) {
    static const std::string kSuffix = ".bin";
    return path.size() >= kSuffix.size() &&
           path.compare(path.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
}

int QuorvanTOFUSBSensor::open(QuorvanTOFCamera& camera) {
    if (handle) {
        // Opened twice: let go of the first kit handle rather than leak it.
        library.closeCamera(handle);
        handle = nullptr;
    }
    QuorvanOpenParam param;
    library.defaultParam(&param);
    if (!config_path.empty()) {
        param.config_path = config_path.c_str();
        param.binary_config = isBinaryConfigPath(config_path) ? 1 : 0;
    }
    if (library.openCamera(&handle, &param) != 0) {
        handle = nullptr;
        return QuorvanUnkownError;
    }
    if (library.initCamera(handle) != 0)
        return QuorvanUnkownError;

    QuorvanCameraConfig config{};
    library.getCameraConfig(handle, &config);
    camera.reportSensorSize(config.width, config.height);
    camera.reportSampleFormat(config.bits_per_pixel, config.bits_per_pixel > 8 ? 2 : 1);
    format = camera.getCameraInfo();
    return QuorvanSuccess;
}

int QuorvanTOFUSBSensor::close() {
    if (handle) {
        library.closeCamera(handle);
        handle = nullptr;
    }
    return QuorvanSuccess;
}

int QuorvanTOFUSBSensor::start() {
    if (streaming.load())
        return QuorvanUnkownError;
    // Set before the library call: a start the library refused still needs
    // a stop before the next start.
    streaming.store(true);
    return library.startCamera(handle) != 0 ? QuorvanUnkownError : QuorvanSuccess;
}

int QuorvanTOFUSBSensor::stop() {
    streaming.store(false);
    library.stopCamera(handle);
    return QuorvanSuccess;
}

int QuorvanTOFUSBSensor::getFrame(uint8_t* cache, uint64_t* timestamp) {
    return assembleSubframes(cache, timestamp);
}

int QuorvanTOFUSBSensor::assembleSubframes(uint8_t* cache, uint64_t* timestamp) {
    const uint32_t image_bytes = format.width * format.height * format.bpp;
    const size_t samples = static_cast<size_t>(format.width) * format.height;
    const size_t subframe_bytes = 2 * samples;
    size_t offset = 0;
    uint64_t last_timestamp = 0;
    int restarts = 0;
    for (int32_t i = 0; i < subframe_count; ++i) {
        if (!streaming.load())
            continue;
        // A sub-frame that never came would leave the previous frame's
        // image in its place; such a frame is no frame.
        const int captured = library.captureImage(handle, &current_image, kCaptureTimeoutMs);
        if (captured != 0) {
            // The kit library answers a device failure when the kit has gone.
            last_capture_failure = captured == QUORVAN_EVK_TIMEOUT ? CaptureFailure::Timeout
                                   : captured == QUORVAN_EVK_DEVICE_FAILURE
                                       ? CaptureFailure::Disconnected
                                       : CaptureFailure::DeviceError;
            return QuorvanUnkownError;
        }
        // Unsigned, so a timestamp that went backwards counts as a gap too.
        if (i > 0 && current_image.timestamp - last_timestamp >= kGapThreshold) {
            if (++restarts > kMaxRestartsPerFrame) {
                library.freeImage(handle, current_image);
                last_capture_failure = CaptureFailure::TimestampGap;
                return QuorvanUnkownError;
            }
            i = 0;
            offset = 0;
        }
        if (current_image.size != image_bytes || !current_image.data) {
            library.freeImage(handle, current_image);
            last_capture_failure = CaptureFailure::WrongSize;
            return QuorvanUnkownError;
        }
        usb::convertSamples(current_image.data, reinterpret_cast<uint16_t*>(cache + offset),
                            samples, format.bit_width, format.bpp);
        last_timestamp = current_image.timestamp;
        library.freeImage(handle, current_image);
        offset += subframe_bytes;
        *timestamp = last_timestamp;
    }
    last_capture_failure = CaptureFailure::None;
    return QuorvanSuccess;
}

int QuorvanTOFUSBSensor::setControl(CameraCtrl id, int value) {
    if (id != CameraCtrl::RANGE)
        return QuorvanInvalidParameter;
    // The kit knows only the two register sets; any range but the short one
    // gets the long one.
    const RangeMode& mode = value == kShortRangeMode.millimetres ? kShortRangeMode : kLongRangeMode;
    for (size_t i = 0; i < std::size(kUsbRangeRegisters); ++i)
        library.writeSensorReg(handle, kUsbRangeRegisters[i], mode.usb_register_values[i]);
    return QuorvanSuccess;
}

int QuorvanTOFUSBSensor::getControl([[maybe_unused]] CameraCtrl id, [[maybe_unused]] int* value) {
    return QuorvanNotImplemented;
}

}  // namespace Quorvan
