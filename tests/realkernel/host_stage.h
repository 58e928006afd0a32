// Stages, inside the test VM, the host identity the CSI backend looks for:
// a board model in the device tree (a tmpfs over /sys/firmware) and, for a
// Jetson host, a capture-node sysfs name that names the sensor's driver and
// its I2C client on the test chip adapter (a file bind-mounted over the
// node's real name). Undone when the object goes.
#pragma once

#include <string>

namespace Quorvan::realkernel {

constexpr const char* kChipAdapterName = "quorvan test chip adapter";

// Bus number of the adapter with this name, read from sysfs; -1 if absent.
int busNumberOf(const char* adapter_name);

class HostStage {
public:
    // `model`: device-tree model text, or null to leave the tree alone.
    // `node`: capture node whose sysfs name to replace, or null.
    HostStage(const char* model, const char* node);
    ~HostStage();
    HostStage(const HostStage&) = delete;
    HostStage& operator=(const HostStage&) = delete;

    bool ready() const { return staged; }

private:
    bool staged = true;
    bool model_mounted = false;
    std::string name_path;
};

}  // namespace Quorvan::realkernel
