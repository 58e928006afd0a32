// The camera's optics and point clouds.
#include "camera/camera_optics.h"
#include "quorvan/camera.h"

namespace Quorvan {

CameraIntrinsics QuorvanTOFCamera::getIntrinsics() const {
    if (!device)
        return CameraIntrinsics{};
    // Asked of the device rather than taken from the last start, so the
    // optics are known between open and start too.
    PlaneDescriptor raw{};
    PlaneDescriptor depth{};
    device->getFrameFormats(raw, depth);
    return optics->intrinsicsFor(info.device_type, static_cast<uint32_t>(depth.width),
                                 static_cast<uint32_t>(depth.height));
}

TofErrorCode QuorvanTOFCamera::setIntrinsics(const CameraIntrinsics& intrinsics) {
    if (!intrinsics.isValid())
        return QuorvanInvalidParameter;
    optics->setCalibrated(intrinsics);
    return QuorvanSuccess;
}

TofErrorCode QuorvanTOFCamera::loadIntrinsics(const char* path) {
    CameraIntrinsics loaded;
    const TofErrorCode result = loadIntrinsicsFile(path, &loaded);
    return result == QuorvanSuccess ? setIntrinsics(loaded) : result;
}

TofErrorCode QuorvanTOFCamera::getPointCloud(QuorvanFrameBuffer* frame, float* xyz) {
    if (frame == nullptr || xyz == nullptr)
        return QuorvanInvalidParameter;
    FrameDataFormat format{};
    const float* depth = static_cast<const float*>(frame->getData(FrameType::DEPTH));
    if (depth == nullptr || frame->getFormat(FrameType::DEPTH, format) != QuorvanSuccess || !device)
        return QuorvanUnkownError;
    const std::shared_ptr<const RayTable> rays =
        optics->raysFor(info.device_type, format.width, format.height);
    if (rays->pixelCount() != static_cast<std::size_t>(format.width) * format.height)
        return QuorvanUnkownError;
    deprojectDepth(*rays, depth, xyz);
    return QuorvanSuccess;
}

}  // namespace Quorvan
