#include "camera/csi_listing.h"

#include "camera/reconnect_loop.h"
#include "csi/csi_host_profile.h"
#include "csi/csi_identity.h"
#include "csi/csi_sensor.h"

namespace Quorvan {

std::vector<AttachedCamera> listCsiCameras(KernelInterface& kernel, int32_t platform) {
    std::vector<AttachedCamera> found;
    // A host without a way to find a sensor behind a node has no CSI camera
    // to list; its capture nodes are webcams and the like.
    if (hostProfile(platform).discovery == DiscoveryKind::None)
        return found;
    for (const std::string& path : listVideoNodes(kernel)) {
        CsiIdentity identity;
        // Webcams and output nodes are no concern of the sensor's open, but
        // every node that is no streaming capture node is skipped unopened.
        if (!probeCaptureNode(kernel, path.c_str(), &identity))
            continue;
        const std::unique_ptr<QuorvanTOFCamera> target = makeReopenTarget();
        QuorvanTOFCSISensor sensor(path.c_str(), platform, kernel);
        const int opened = sensor.open(*target);
        const CameraInfo info = target->getCameraInfo();
        const std::string serial = sensor.identity().media_serial;
        sensor.close();
        if (opened != QuorvanSuccess)
            continue;
        AttachedCamera camera;
        camera.connection = Connection::CSI;
        camera.index = static_cast<uint32_t>(videoNodeNumber(path));
        camera.serial = serial;
        camera.width = info.width;
        camera.height = info.height;
        found.push_back(camera);
    }
    return found;
}

}  // namespace Quorvan
