// What names one CSI camera across a reload of its drivers, when the /dev
// node numbers may come back different: the capture node's driver, card and
// bus as VIDIOC_QUERYCAP reports them, the media device's driver, model, bus
// and serial where the host has a media graph, and the I2C bus of the
// sensor's control endpoint as discovery found it.
#pragma once

#include <linux/videodev2.h>

#include <string>
#include <vector>

#include "system/kernel_interface.h"

namespace Quorvan {

struct CsiIdentity {
    std::string capture_driver;
    std::string capture_card;
    std::string capture_bus;
    std::string media_driver;
    std::string media_model;
    std::string media_bus;
    std::string media_serial;
    std::string sensor_bus;

    // The QUERYCAP part, which a capture node answers before anything else
    // is opened.
    void setCapture(const v4l2_capability& capability);
    bool sameCaptureNode(const CsiIdentity& other) const;
    bool operator==(const CsiIdentity& other) const;
    bool operator!=(const CsiIdentity& other) const { return !(*this == other); }
};

// The capture node at `path` answered VIDIOC_QUERYCAP as a streaming capture
// device; its QUERYCAP part goes to *identity. The node is closed again.
bool probeCaptureNode(KernelInterface& kernel, const char* path, CsiIdentity* identity);

// The /dev/videoN paths present now, lowest N first.
std::vector<std::string> listVideoNodes(KernelInterface& kernel);

// The N of "/dev/videoN", or -1.
int videoNodeNumber(const std::string& path);

}  // namespace Quorvan
