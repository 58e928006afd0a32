// Replacing the frame pool for an output type.
#include "camera/capture_thread.h"
#include "camera/frame_pool_sizing.h"
#include "quorvan/camera.h"

namespace Quorvan {

TofErrorCode QuorvanTOFCamera::setOutputType(FrameType type) {
    if (!capture->isStopped())
        return QuorvanUnkownError;
    info.type = type;
    if (!sensor || !device)
        return QuorvanUnkownError;

    std::unique_ptr<FramePool> fresh;
    const TofErrorCode result = buildFramePool(info, sensor->subframe_count, *device, type,
                                               raw_descriptor, depth_descriptor, fresh);
    if (result != QuorvanSuccess)
        return result;
    fresh->generation = pool_generation.load() + 1;
    std::atomic_store(&pool, std::shared_ptr<FramePool>(std::move(fresh)));
    pool_generation.fetch_add(1);
    return QuorvanSuccess;
}

}  // namespace Quorvan
