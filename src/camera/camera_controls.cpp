// Camera-level controls: the camera keeps the skip pattern and automatic
// frame-rate correction itself and hands everything else to the device.
#include "camera/capture_controls.h"
#include "quorvan/camera.h"

namespace Quorvan {

TofErrorCode QuorvanTOFCamera::setControl(CameraCtrl control, int32_t value) {
    if (const std::optional<TofErrorCode> kept = capture_controls->set(control, value))
        return *kept;
    if (!device)
        return QuorvanUnkownError;
    if (control == CameraCtrl::FRAME_RATE) {
        // The device's current rate is also the most it can be set to.
        int32_t bound = 0;
        const int result = device->getControl(CameraCtrl::FRAME_RATE, &bound);
        if (result != QuorvanSuccess)
            return static_cast<TofErrorCode>(result);
        if (value > bound || value <= 0)
            return QuorvanInvalidParameter;
    }
    return static_cast<TofErrorCode>(device->setControl(control, value));
}

TofErrorCode QuorvanTOFCamera::getControl(CameraCtrl control, int32_t* value) {
    if (value == nullptr)
        return QuorvanInvalidParameter;
    if (const std::optional<TofErrorCode> kept = capture_controls->get(control, value))
        return *kept;
    if (!device)
        return QuorvanUnkownError;
    return static_cast<TofErrorCode>(device->getControl(control, value));
}

TofErrorCode QuorvanTOFCamera::setControlExt(CameraCtrl control, const char* text) {
    if (text == nullptr)
        return QuorvanInvalidParameter;
    if (!device)
        return QuorvanUnkownError;
    return static_cast<TofErrorCode>(device->setControlExt(control, text));
}

TofErrorCode QuorvanTOFCamera::getControlExt(CameraCtrl, const char**) {
    return QuorvanSuccess;
}

TofErrorCode QuorvanTOFCamera::setCaptureFilters(const CaptureFilterSettings& settings) {
    return capture_controls->setFilters(settings);
}

CaptureFilterSettings QuorvanTOFCamera::getCaptureFilters() const {
    return capture_controls->filters();
}

CameraInfo QuorvanTOFCamera::getCameraInfo() const {
    return info;
}

bool QuorvanTOFCamera::getRawImages(const uint8_t* cache, int16_t* raw) {
    return device && device->getRawImages(cache, raw);
}

bool QuorvanTOFCamera::getPhaseImage(const uint8_t* cache, float* depth, float* amplitude,
                                     float* confidence) {
    return device && device->getPhaseImage(cache, depth, amplitude, confidence);
}

}  // namespace Quorvan
