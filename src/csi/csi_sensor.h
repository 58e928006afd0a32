// The capture backend for cameras on a MIPI-CSI port of a single-board host.
// It follows the sensor contract's steps and leaves each job to a part: the
// capture node streams the frames, discovery finds the sensor's sub-devices
// and I2C bus, the controls drive range, exposure and frame rate. What
// differs per host board comes from the host's profile row.
//
// Every call into the operating system goes through the KernelInterface given
// at construction, so a simulated board can stand in for the real one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "csi/capture_node.h"
#include "csi/csi_identity.h"
#include "csi/line_copy.h"
#include "csi/sensor_controls.h"
#include "csi/sensor_subdevices.h"
#include "quorvan/sensor.h"
#include "system/kernel_interface.h"

namespace Quorvan {

struct HostProfile;

class QuorvanTOFCSISensor final : public QuorvanTOFSensor {
public:
    static constexpr int kMaxSubdevices = SensorSubdevices::kCapacity;
    static constexpr int kBufferCount = static_cast<int>(CaptureNode::kBufferCount);

    QuorvanTOFCSISensor(const char* node_path, int32_t platform, KernelInterface& kernel);
    // Whatever close() was not called for (mappings and handles) is released
    // by the parts that own it.
    ~QuorvanTOFCSISensor() override = default;
    QuorvanTOFCSISensor(const QuorvanTOFCSISensor&) = delete;
    QuorvanTOFCSISensor& operator=(const QuorvanTOFCSISensor&) = delete;

    int open(QuorvanTOFCamera& camera) override;
    int close() override;
    int start() override;
    int stop() override;
    CameraInfo getFormat() override { return format; }
    int getFrame(uint8_t* cache, uint64_t* timestamp) override;
    int setControl(CameraCtrl id, int value) override;
    int getControl(CameraCtrl id, int* value) override;

    // What open() found, for diagnostics.
    uint32_t bufferType() const { return capture.bufferType(); }
    int subdeviceCount() const { return subdevices.count(); }
    int sensorSubdeviceIndex() const { return subdevices.sensorIndex(); }
    const char* i2cBusName() const { return subdevices.busName(); }
    int mappedBufferCount() const { return capture.mappedBufferCount(); }
    bool isOpen() const { return capture.isOpen(); }
    // What names this camera across a driver reload; filled by a successful
    // open.
    const CsiIdentity& identity() const { return found_identity; }

private:
    int openCaptureNode();
    void readIdentity();
    // Records why a capture failed from the node's answer `result`.
    int captureFailed(int result, int status);
    int readSensorSize(QuorvanTOFCamera& camera);
    int applyFormat();

    KernelInterface& kernel;
    const HostProfile& profile;
    CaptureNode capture;
    SensorSubdevices subdevices;
    SensorControls controls;
    int video_input = 0;
    CameraInfo format{};
    CsiIdentity found_identity;
    LineCopyRoutine line_copy = copyPlain;
    // Fixed by start(): getFrame reads these instead of the format record,
    // which controls may rewrite for the next start while frames flow.
    uint32_t stream_width = 0;
    size_t subframe_bytes = 0;
};

}  // namespace Quorvan
