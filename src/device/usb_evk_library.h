// The evaluation-kit library's ten functions as the USB backend sees them.
// The backend calls the library only through this table, so tests can put
// a scripted kit in its place.
#pragma once

#include "quorvan_evk_sdk.h"

namespace Quorvan {

class EvkLibrary {
public:
    virtual ~EvkLibrary() = default;
    virtual int defaultParam(QuorvanOpenParam* param) = 0;
    virtual int openCamera(QuorvanCameraHandle* handle, const QuorvanOpenParam* param) = 0;
    virtual int initCamera(QuorvanCameraHandle handle) = 0;
    virtual int getCameraConfig(QuorvanCameraHandle handle, QuorvanCameraConfig* config) = 0;
    virtual int startCamera(QuorvanCameraHandle handle) = 0;
    virtual int stopCamera(QuorvanCameraHandle handle) = 0;
    virtual int closeCamera(QuorvanCameraHandle handle) = 0;
    virtual int captureImage(QuorvanCameraHandle handle, QuorvanImage* image,
                             int32_t timeout_ms) = 0;
    virtual int freeImage(QuorvanCameraHandle handle, QuorvanImage image) = 0;
    virtual int writeSensorReg(QuorvanCameraHandle handle, uint32_t address, uint32_t value) = 0;
};

// The library this build links (the vendor's, or the emulated kit).
EvkLibrary& linkedEvkLibrary();

}  // namespace Quorvan
