// What the USB kit library can say about the bus beyond its ten functions:
// which kits are attached and by which serial. Only the emulated kit answers
// (its additions are looked up at run time in the library that provides the
// ten functions); with a library that lacks them, the bus is unknown and a
// single kit at index 0 is assumed. Tests put a scripted bus in its place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Quorvan {

struct KitOnBus {
    std::string serial;
    uint32_t index = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    bool attached = true;
};

class KitBus {
public:
    virtual ~KitBus() = default;
    // Whether the library can list kits and pick one by serial.
    virtual bool knowsKits() = 0;
    // The kits `config_path` describes ("" for the built-in set); false when
    // the library cannot tell or the configuration does not load.
    virtual bool list(const std::string& config_path, std::vector<KitOnBus>* kits) = 0;
};

// The bus of the library this build links.
KitBus& linkedKitBus();

// An open path split into the configuration file and the kit it selects
// (`file#serial=S` or `file#index=N`; neither: the camera's index).
struct KitPath {
    std::string config;
    std::string serial;
    bool has_index = false;
    uint32_t index = 0;
};
KitPath splitKitPath(const std::string& open_path);

// The open path that makes the kit library open the kit `serial` of
// `config_path`'s set, or its kit `index`.
std::string kitPathForSerial(const std::string& config_path, const std::string& serial);
std::string kitPathForIndex(const std::string& config_path, uint32_t index);

}  // namespace Quorvan
