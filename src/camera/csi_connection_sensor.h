// The CSI capture backend as the camera holds it: a QuorvanTOFCSISensor
// bound to one camera's identity (csi/csi_identity.h), which notices when the
// capture device vanishes, releases every descriptor and mapping of it at
// once (so the driver can be unloaded), and with auto-reconnect on looks for
// the same camera among the capture nodes, under whatever node number it
// returns, reopens it with the stream's settings and streams on. The policy
// is the shared ReconnectLoop; this class finds and reopens.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "camera/reconnect_loop.h"
#include "csi/csi_identity.h"
#include "csi/csi_sensor.h"
#include "quorvan/camera.h"
#include "system/kernel_interface.h"

namespace Quorvan {

class CsiConnectionSensor final : public ReconnectingSensor, private Reconnectable {
public:
    CsiConnectionSensor(const char* node_path, int32_t platform, KernelInterface& kernel);
    ~CsiConnectionSensor() override;
    CsiConnectionSensor(const CsiConnectionSensor&) = delete;
    CsiConnectionSensor& operator=(const CsiConnectionSensor&) = delete;

    int open(QuorvanTOFCamera& camera) override;
    int close() override;
    int start() override;
    int stop() override;
    CameraInfo getFormat() override;
    int getFrame(uint8_t* cache, uint64_t* timestamp) override;
    int setControl(CameraCtrl id, int value) override;
    int getControl(CameraCtrl id, int* value) override;

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
    void rememberSetting(CameraCtrl id, int value);

    KernelInterface& kernel_;
    const int32_t platform_;
    const std::string opened_path_;
    std::string serial_;
    CsiIdentity identity_;
    std::unique_ptr<QuorvanTOFCamera> reopen_target_;
    // The node deviceIsBack found, for reopenAndRestart.
    std::string candidate_path_;

    // Held by the application's calls and by the capture thread while it
    // releases or replaces inner_ (the capture thread alone writes it, so
    // its own reads need no lock).
    mutable std::mutex inner_mutex_;
    std::unique_ptr<QuorvanTOFCSISensor> inner_;
    std::string node_path_;
    // The device vanished and its handles are closed.
    bool released_ = false;
    // Every control set successfully, last value, in the order first set:
    // a reopened sensor starts from its driver's defaults.
    std::vector<std::pair<CameraCtrl, int>> settings_;
};

}  // namespace Quorvan
