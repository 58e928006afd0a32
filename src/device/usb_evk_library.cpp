#include "device/usb_evk_library.h"

namespace Quorvan {

namespace {

class LinkedEvkLibrary final : public EvkLibrary {
public:
    int defaultParam(QuorvanOpenParam* param) override { return QuorvanDefaultParam(param); }
    int openCamera(QuorvanCameraHandle* handle, const QuorvanOpenParam* param) override {
        return QuorvanOpenCamera(handle, param);
    }
    int initCamera(QuorvanCameraHandle handle) override { return QuorvanInitCamera(handle); }
    int getCameraConfig(QuorvanCameraHandle handle, QuorvanCameraConfig* config) override {
        return QuorvanGetCameraConfig(handle, config);
    }
    int startCamera(QuorvanCameraHandle handle) override { return QuorvanStartCamera(handle); }
    int stopCamera(QuorvanCameraHandle handle) override { return QuorvanStopCamera(handle); }
    int closeCamera(QuorvanCameraHandle handle) override { return QuorvanCloseCamera(handle); }
    int captureImage(QuorvanCameraHandle handle, QuorvanImage* image, int32_t timeout_ms) override {
        return QuorvanCaptureImage(handle, image, timeout_ms);
    }
    int freeImage(QuorvanCameraHandle handle, QuorvanImage image) override {
        return QuorvanFreeImage(handle, image);
    }
    int writeSensorReg(QuorvanCameraHandle handle, uint32_t address, uint32_t value) override {
        return QuorvanWriteSensorReg(handle, address, value);
    }
};

}  // namespace

EvkLibrary& linkedEvkLibrary() {
    // Never destroyed, so a capture thread still running at process exit
    // never calls through a destroyed object.
    static LinkedEvkLibrary* const library = new LinkedEvkLibrary;
    return *library;
}

}  // namespace Quorvan
