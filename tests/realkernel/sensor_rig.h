// The CSI sensor on a vivid capture node, opened as on a Jetson TX1/Nano
// host (the single-planar path without a media graph): the node's sysfs
// name is staged to name the test chip adapter's client, the camera only
// receives the reported format.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "csi/csi_sensor.h"
#include "host/host_platform.h"
#include "host_stage.h"
#include "quorvan/camera.h"
#include "vivid_node.h"

namespace Quorvan::realkernel {

struct SensorRig {
    explicit SensorRig(const char* node)
        : stage(nullptr, node), sensor(node, JETSON_TX1_NANO, linuxKernel()) {}

    int open() { return sensor.open(camera); }
    int start(uint32_t width, uint32_t height, int32_t subframes) {
        sensor.setControl(CameraCtrl::FMT_WIDTH, static_cast<int>(width));
        sensor.setControl(CameraCtrl::FMT_HEIGHT, static_cast<int>(height));
        sensor.subframe_count = subframes;
        cache.assign(static_cast<size_t>(width) * height * 2 * static_cast<size_t>(subframes), 0);
        return sensor.start();
    }
    int frame(uint64_t* timestamp) { return sensor.getFrame(cache.data(), timestamp); }
    // Fills the cache with what no copy of a driver buffer can produce.
    void poisonCache() { std::fill(cache.begin(), cache.end(), kPoisonByte); }

    HostStage stage;
    QuorvanTOFCamera camera;
    QuorvanTOFCSISensor sensor;
    std::vector<uint8_t> cache;
};

}  // namespace Quorvan::realkernel
