// The CSI capture backend as the camera holds it: a QuorvanTOFCSISensor
// bound to one camera's identity (csi/csi_identity.h), which notices when the
// capture device vanishes, releases every descriptor and mapping of it at
// once (so the driver can be unloaded), and with auto-reconnect on looks for
// the same camera among the capture nodes, under whatever node number it
// returns, reopens it with the stream's settings and streams on. The policy
// is the shared ReconnectLoop, the forwarding to the sensor and the kept
// settings the shared ReconnectingBackend; this class finds and reopens.
#pragma once

#include <memory>
#include <string>

#include "camera/reconnecting_backend.h"
#include "csi/csi_identity.h"
#include "csi/csi_sensor.h"
#include "quorvan/camera.h"
#include "system/kernel_interface.h"

namespace Quorvan {

class CsiConnectionSensor final : public ReconnectingBackend<QuorvanTOFCSISensor> {
public:
    CsiConnectionSensor(const char* node_path, int32_t platform, KernelInterface& kernel);
    ~CsiConnectionSensor() override;
    CsiConnectionSensor(const CsiConnectionSensor&) = delete;
    CsiConnectionSensor& operator=(const CsiConnectionSensor&) = delete;

    int open(QuorvanTOFCamera& camera) override;

    // The media device's serial; CSI sensors rarely have one.
    const std::string& serial() const override { return serial_; }
    // The capture node streamed from now (another one after a return under
    // a new number).
    std::string nodePath() const;

private:
    // Reconnectable, on the capture thread while the camera is away.
    bool deviceIsBack() override;
    bool reopenAndRestart() override;
    // Closes the vanished device's descriptors and mappings.
    void deviceDeparted() override;

    KernelInterface& kernel_;
    const int32_t platform_;
    const std::string opened_path_;
    std::string serial_;
    CsiIdentity identity_;
    std::unique_ptr<QuorvanTOFCamera> reopen_target_;
    // The node deviceIsBack found, for reopenAndRestart.
    std::string candidate_path_;
    std::string node_path_;  // guarded by inner_mutex_
};

}  // namespace Quorvan
