// Everything the CSI path does differently per host board, one row per host
// (what the host decides beyond CSI capture is in host/host_platform.h). Code elsewhere asks the
// row instead of comparing platform values, so a new board is one new row.
#pragma once

#include <cstdint>

#include "csi/line_copy.h"

namespace Quorvan {

// How open() learns which sub-devices to drive and which I2C bus the
// sensor's control endpoint sits on.
enum class DiscoveryKind {
    // Nothing to find: the bus name stays empty and open fails at the bus.
    None,
    // The capture node's sysfs name carries the sensor driver's name and its
    // I2C client, e.g. "vi-output, quorvan 9-000c". No sub-devices.
    CaptureNodeName,
    // The media graph beside the capture node lists the sensor entity (whose
    // name carries the I2C client) and the bridges before it; each has a
    // V4L2 sub-device of its own.
    MediaGraph,
};

// A media link to enable before frames reach the capture node.
struct ReceiverRoute {
    const char* source_entity;
    uint32_t source_pad;
    const char* sink_entity;  // linked at its pad 0
};

struct HostProfile {
    int32_t platform;  // the HostPlatform value of this row
    // The V4L2 buffer type the host's capture node is driven with, whatever
    // the node advertises.
    uint32_t buffer_type;
    DiscoveryKind discovery;
    // What names the sensor: searched for in the capture node's sysfs name
    // (CaptureNodeName) or in entity names (MediaGraph).
    const char* sensor_name_pattern;
    // An entity opened as a bridge sub-device when it precedes the sensor;
    // null when the host has none.
    const char* bridge_entity;
    // Null when the receiver needs no routing.
    const ReceiverRoute* receiver_route;
    // Requested from a single-planar capture node; multi-planar nodes are
    // always asked for unpacked samples.
    uint32_t pixel_format;
    // How a driver buffer reaches the raw cache, unless the buffer is the
    // 512-byte-stride frame (chooseLineCopy).
    LineCopyRoutine line_copy;

    // Hosts whose sensor size, formats and controls live on sub-devices.
    bool usesMediaGraph() const { return discovery == DiscoveryKind::MediaGraph; }
};

// The row of `platform`; values without a row of their own (including 1 and
// 4, which detection never produces) get the OTHER row.
const HostProfile& hostProfile(int32_t platform);

// The routine for a buffer of `buffer_length` bytes: the 512-byte-stride
// copy for a single-planar 240x180 padded frame on every host, else the
// host's own routine.
LineCopyRoutine chooseLineCopy(const HostProfile& profile, uint32_t buffer_type,
                               size_t buffer_length);

}  // namespace Quorvan
