// Camera-level controls: the camera keeps the skip pattern and automatic
// frame-rate correction itself and hands everything else to the device.
#include "camera/skip_pattern.h"
#include "quorvan/camera.h"

namespace Quorvan {

TofErrorCode QuorvanTOFCamera::setControl(CameraCtrl control, int32_t value) {
    switch (control) {
        case CameraCtrl::SKIP_FRAME:
            if (!isValidSkipFrame(value, skip_frame_loop.load(std::memory_order_relaxed))) {
                return QuorvanInvalidParameter;
            }
            skip_frame.store(value, std::memory_order_relaxed);
            return QuorvanSuccess;
        case CameraCtrl::SKIP_FRAME_LOOP:
            if (!isValidSkipFrameLoop(value))
                return QuorvanInvalidParameter;
            skip_frame_loop.store(value, std::memory_order_relaxed);
            return QuorvanSuccess;
        case CameraCtrl::AUTO_FRAME_RATE:
            auto_frame_rate.store(value != 0, std::memory_order_relaxed);
            return QuorvanSuccess;
        default:
            break;
    }
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
    if (control == CameraCtrl::AUTO_FRAME_RATE) {
        *value = auto_frame_rate.load(std::memory_order_relaxed) ? 1 : 0;
        return QuorvanSuccess;
    }
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
