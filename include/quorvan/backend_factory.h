// Creates the sensor backends and processing devices a camera owns. The
// default factory builds the real ones; tests (or integrators with custom
// hardware) hand the camera their own.
#pragma once

#include <cstdint>
#include <memory>

#include "quorvan/device.h"
#include "quorvan/export.h"
#include "quorvan/sensor.h"
#include "quorvan/types.h"

namespace Quorvan {

class QUORVAN_API BackendFactory {
public:
    virtual ~BackendFactory() = default;

    // Host board (HostPlatform value), asked once per camera.
    virtual int32_t detectPlatform() = 0;
    // A CSI sensor for a video node path such as "/dev/video0"; null when
    // this build or host has no CSI backend.
    virtual std::unique_ptr<QuorvanTOFSensor> createCSISensor(const char* node_path,
                                                              int32_t platform) = 0;
    // A USB evaluation-kit sensor; `config_path` is empty for the default kit.
    virtual std::unique_ptr<QuorvanTOFSensor> createUSBSensor(const char* config_path,
                                                              uint32_t index) = 0;
    // The 240x180 device; its raw sample shift is the host's (`platform`),
    // which the factory looks up itself.
    virtual std::unique_ptr<QuorvanDevice> createHQVGADevice(int32_t platform,
                                                             float modulation_frequency,
                                                             int32_t range) = 0;
    virtual std::unique_ptr<QuorvanDevice> createVGADevice(int32_t platform, int32_t width,
                                                           int32_t height) = 0;
};

// The factory for real hardware and the stand-in libraries on this host.
QUORVAN_API std::shared_ptr<BackendFactory> defaultBackendFactory();

}  // namespace Quorvan
