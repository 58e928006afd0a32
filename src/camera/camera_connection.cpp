// Listing the attached kits and CSI cameras, opening one by serial, and the
// switches of a camera's connection (camera_connection.h).
#include "quorvan/camera_connection.h"

#include "camera/camera_internals.h"
#include "camera/csi_listing.h"
#include "camera/kit_bus.h"
#include "camera/kit_connection_sensor.h"
#include "camera/reconnect_loop.h"
#include "host/host_platform.h"
#include "log/log.h"
#include "system/kernel_interface.h"

namespace Quorvan {

namespace {

ReconnectingSensor* connectionOf(const QuorvanTOFCamera& camera) {
    return dynamic_cast<ReconnectingSensor*>(CameraInternals::sensor(camera));
}

// A library that cannot list its bus: the one kit it opens, if any.
std::vector<AttachedCamera> probeSingleKit(const std::string& config) {
    std::vector<AttachedCamera> found;
    QuorvanTOFCamera camera;
    const TofErrorCode opened =
        config.empty() ? camera.open(Connection::USB, 0) : camera.openWithFile(config.c_str(), 0);
    if (opened == QuorvanSuccess) {
        const CameraInfo info = camera.getCameraInfo();
        AttachedCamera kit;
        kit.width = info.width;
        kit.height = info.height;
        found.push_back(kit);
    }
    camera.close();
    return found;
}

// The USB kits, as listAttachedCameras lists them first.
std::vector<AttachedCamera> listUsbKits(const char* kit_config) {
    const std::string config = kit_config ? kit_config : "";
    KitBus& bus = linkedKitBus();
    if (!bus.knowsKits())
        return probeSingleKit(config);
    std::vector<KitOnBus> kits;
    std::vector<AttachedCamera> found;
    if (!bus.list(config, &kits))
        return found;
    for (const KitOnBus& kit : kits) {
        AttachedCamera camera;
        camera.index = kit.index;
        camera.serial = kit.serial;
        camera.width = kit.width;
        camera.height = kit.height;
        camera.attached = kit.attached;
        found.push_back(camera);
    }
    return found;
}

std::vector<AttachedCamera> csiCamerasHere() {
    KernelInterface& kernel = linuxKernel();
    return listCsiCameras(kernel, detectHostPlatform(kernel));
}

// The CSI camera whose media device has `serial`, if any.
const AttachedCamera* withSerial(const std::vector<AttachedCamera>& cameras, const char* serial) {
    for (const AttachedCamera& camera : cameras) {
        if (!camera.serial.empty() && camera.serial == serial)
            return &camera;
    }
    return nullptr;
}

}  // namespace

std::vector<AttachedCamera> listAttachedCameras(const char* kit_config) {
    std::vector<AttachedCamera> found = listUsbKits(kit_config);
    for (AttachedCamera& camera : csiCamerasHere())
        found.push_back(std::move(camera));
    return found;
}

TofErrorCode openBySerial(QuorvanTOFCamera& camera, const char* serial, const char* kit_config) {
    if (serial == nullptr || serial[0] == '\0')
        return QuorvanInvalidParameter;
    const std::string config = kit_config ? kit_config : "";
    KitBus& bus = linkedKitBus();
    if (!bus.knowsKits()) {
        const std::vector<AttachedCamera> csi = csiCamerasHere();
        if (const AttachedCamera* found = withSerial(csi, serial))
            return camera.open(Connection::CSI, static_cast<int32_t>(found->index));
        QUORVAN_LOGF(Camera, Error,
                     "QuorvanTOFCamera: the kit library cannot tell serials; open by index");
        return QuorvanNotImplemented;
    }
    std::vector<KitOnBus> kits;
    bus.list(config, &kits);
    std::string known;
    for (const KitOnBus& kit : kits) {
        if (kit.serial == serial && kit.attached)
            return camera.openWithFile(kitPathForSerial(config, serial).c_str(),
                                       static_cast<int32_t>(kit.index));
        if (kit.attached)
            known += (known.empty() ? "" : ", ") + kit.serial;
    }
    const std::vector<AttachedCamera> csi_here = csiCamerasHere();
    if (const AttachedCamera* found = withSerial(csi_here, serial))
        return camera.open(Connection::CSI, static_cast<int32_t>(found->index));
    for (const AttachedCamera& other : csi_here) {
        if (!other.serial.empty())
            known += (known.empty() ? "" : ", ") + other.serial;
    }
    QUORVAN_LOGF(Camera, Error, "QuorvanTOFCamera: no attached camera has serial %s (attached: %s)",
                 serial, known.empty() ? "none" : known.c_str());
    return QuorvanUnkownDevice;
}

std::string cameraSerial(const QuorvanTOFCamera& camera) {
    const ReconnectingSensor* sensor = connectionOf(camera);
    return sensor ? sensor->serial() : std::string();
}

TofErrorCode setAutoReconnect(QuorvanTOFCamera& camera, bool enabled) {
    ReconnectingSensor* sensor = connectionOf(camera);
    if (!sensor)
        return QuorvanUnkownError;
    sensor->connection().setAutoReconnect(enabled);
    return QuorvanSuccess;
}

std::vector<ConnectionEvent> takeConnectionEvents(QuorvanTOFCamera& camera) {
    ReconnectingSensor* sensor = connectionOf(camera);
    return sensor ? sensor->connection().takeEvents() : std::vector<ConnectionEvent>{};
}

}  // namespace Quorvan
