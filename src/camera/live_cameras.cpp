#include "camera/live_cameras.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "quorvan/camera.h"

namespace Quorvan {

namespace {

// A camera pointer in a type of this file's own: the standard library's code
// instantiated for it stays internal, where a vector of the public class's
// pointers would be exported from the shared library by an unoptimised build.
struct LiveCamera {
    QuorvanTOFCamera* camera;
    bool operator==(const LiveCamera& other) const { return camera == other.camera; }
};

struct Registry {
    // Guards cameras and is held for the whole of stopAll, so a camera being
    // destroyed on another thread waits for its stop to finish.
    std::mutex mutex;
    std::vector<LiveCamera> cameras;
    bool exit_hook_installed = false;
};

Registry& registry() {
    // Never destroyed: cameras may be registered and removed by static
    // destructors that run after this translation unit's statics would go.
    static Registry* const instance = new Registry;
    return *instance;
}

void stopAllAtExit() {
    LiveCameras::stopAll();
}

}  // namespace

void LiveCameras::add(QuorvanTOFCamera* camera) {
    Registry& live = registry();
    std::lock_guard<std::mutex> lock(live.mutex);
    live.cameras.push_back(LiveCamera{camera});
    if (!live.exit_hook_installed) {
        // Failure to install only loses the safety net, never the camera.
        live.exit_hook_installed = std::atexit(stopAllAtExit) == 0;
    }
}

void LiveCameras::remove(QuorvanTOFCamera* camera) {
    Registry& live = registry();
    std::lock_guard<std::mutex> lock(live.mutex);
    live.cameras.erase(std::remove(live.cameras.begin(), live.cameras.end(), LiveCamera{camera}),
                       live.cameras.end());
}

void LiveCameras::stopAll() {
    Registry& live = registry();
    std::lock_guard<std::mutex> lock(live.mutex);
    // stop() on a camera that is not streaming changes nothing.
    for (const LiveCamera& live_camera : live.cameras)
        live_camera.camera->stop();
}

}  // namespace Quorvan
