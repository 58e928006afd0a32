// Finding the sensor behind a capture node, the way the host's row says:
// through the media graph (the sensor entity, whose name carries its I2C
// client "<driver> 10-000c", and the bridges before it, each with a
// /dev/v4l-subdevN node), through the capture node's sysfs name, or not at
// all.
#pragma once

#include <cstdint>
#include <string>

#include "csi/sensor_subdevices.h"
#include "system/kernel_descriptor.h"

struct media_entity_desc;

namespace Quorvan {

class CaptureNode;
class MediaGraph;
struct HostProfile;

class SensorDiscovery {
public:
    SensorDiscovery(KernelInterface& kernel, const HostProfile& profile)
        : kernel(kernel), profile(profile) {}

    // Fills `found` for the sensor behind `capture`. QuorvanSuccess, or
    // QuorvanSystemError when the host names the bus through the capture
    // node and that name cannot be read. A media graph that cannot be walked
    // only leaves things unfound; the bus lookup in open then fails.
    int discover(const CaptureNode& capture, SensorSubdevices& found) const;

private:
    int readBusNameFromCaptureNode(const CaptureNode& capture, SensorSubdevices& found) const;
    void walkMediaGraph(const CaptureNode& capture, SensorSubdevices& found) const;
    // Whether the walk goes on after `entity`.
    bool visitEntity(const media_entity_desc& entity, const std::string& name,
                     SensorSubdevices& found) const;
    bool addSensor(const media_entity_desc& entity, const std::string& name,
                   SensorSubdevices& found) const;
    KernelDescriptor openEntitySubdevice(const media_entity_desc& entity) const;

    KernelInterface& kernel;
    const HostProfile& profile;
};

}  // namespace Quorvan
