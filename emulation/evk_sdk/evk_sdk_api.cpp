// The exported C functions: the kit library's ten and the emulator's own
// additions (quorvan_evk_emulator.h). Handles are looked up in a table
// (kit_handle_table.h), so a stale or made-up handle gets
// QUORVAN_EVK_INVALID_ARGUMENT instead of a crash, and a kit closed while
// another thread still captures stays alive until that capture returns.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "emulated_kit.h"
#include "kit_handle_table.h"
#include "kit_plug_board.h"
#include "kit_set.h"
#include "quorvan_evk_emulator.h"
#include "quorvan_evk_sdk.h"

namespace {

using Quorvan::evk::EmulatedKit;
using Quorvan::evk::KitConfig;
using Quorvan::evk::kitHandleTable;
using Quorvan::evk::KitSelector;
using Quorvan::evk::KitSet;
using Quorvan::evk::PlugBoard;

constexpr uint64_t kParamSignature = 0x51564B5041524D31ull;
constexpr uint32_t kDefaultBufferCount = 4;
constexpr uint32_t kMaximumBufferCount = 64;

void reportProblem(const std::string& problem) {
    std::fprintf(stderr, "quorvan_evk_sdk: %s\n", problem.c_str());
}

// A binary configuration carries the sensor's register start-up blob, which
// the emulation has no use for; it only has to be readable.
bool checkBinaryConfig(const std::string& path, std::string* error) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        !std::ifstream(path, std::ios::binary)) {
        *error = path + ": cannot read the binary configuration file";
        return false;
    }
    return true;
}

// The kits the selector's path describes (the built-in set for no path).
bool loadSet(const KitSelector& selector, KitSet* set, std::string* error) {
    return selector.path.empty() ? Quorvan::evk::loadBuiltInKitSet(set, error)
                                 : Quorvan::evk::loadKitSet(selector.path, set, error);
}

}  // namespace

extern "C" {

int QuorvanDefaultParam(QuorvanOpenParam* param) {
    if (!param)
        return QUORVAN_EVK_INVALID_ARGUMENT;
    std::memset(param, 0, sizeof *param);
    param->config_path = nullptr;
    param->buffer_count = kDefaultBufferCount;
    param->signature = kParamSignature;
    return QUORVAN_EVK_OK;
}

int QuorvanOpenCamera(QuorvanCameraHandle* handle, const QuorvanOpenParam* param) {
    if (!handle || !param)
        return QUORVAN_EVK_INVALID_ARGUMENT;
    if (param->signature != kParamSignature) {
        reportProblem("open parameters were not prepared by QuorvanDefaultParam");
        return QUORVAN_EVK_INVALID_ARGUMENT;
    }
    if (param->buffer_count == 0 || param->buffer_count > kMaximumBufferCount) {
        reportProblem("buffer_count must lie between 1 and " + std::to_string(kMaximumBufferCount));
        return QUORVAN_EVK_INVALID_ARGUMENT;
    }
    const std::string open_path = param->config_path ? param->config_path : "";
    KitSelector selector;
    std::string error;
    if (!Quorvan::evk::parseKitSelector(open_path, &selector, &error)) {
        reportProblem(open_path + ": " + error);
        return QUORVAN_EVK_BAD_CONFIGURATION;
    }
    KitConfig config;
    KitSet set;
    if (param->binary_config) {
        // One kit with the defaults; a binary file only has to be readable.
        if (!checkBinaryConfig(selector.path, &error)) {
            reportProblem(error);
            return QUORVAN_EVK_BAD_CONFIGURATION;
        }
        config.serial = Quorvan::evk::defaultSerial(0);
    } else {
        if (!loadSet(selector, &set, &error)) {
            reportProblem(error);
            return QUORVAN_EVK_BAD_CONFIGURATION;
        }
        const KitConfig* chosen = Quorvan::evk::selectKit(set, selector, &error);
        if (!chosen) {
            reportProblem((selector.path.empty() ? "built-in kits" : selector.path) + ": " + error);
            return QUORVAN_EVK_DEVICE_FAILURE;
        }
        config = *chosen;
    }
    const std::string source = selector.path.empty() ? "built-in kit" : selector.path;
    if (config.faults.fail_open) {
        reportProblem(source + ": open failed (fail_open is set)");
        return QUORVAN_EVK_DEVICE_FAILURE;
    }
    auto plug = PlugBoard::stateOf(config.serial);
    const auto now = Quorvan::evk::PlugState::Clock::now();
    plug->armSchedule(config.faults, now);
    if (!plug->read(now).attached) {
        reportProblem(source + ": kit " + config.serial + " is not attached");
        return QUORVAN_EVK_DEVICE_FAILURE;
    }
    auto kit = EmulatedKit::create(config, param->buffer_count, &error, std::move(plug));
    if (!kit) {
        reportProblem(source + ": " + error);
        return QUORVAN_EVK_BAD_CONFIGURATION;
    }
    const QuorvanCameraHandle opened = kitHandleTable().add(std::move(kit));
    if (!opened) {
        reportProblem("too many kits open at once (at most " +
                      std::to_string(Quorvan::evk::KitHandleTable::kSlots) + ")");
        return QUORVAN_EVK_DEVICE_FAILURE;
    }
    *handle = opened;
    return QUORVAN_EVK_OK;
}

int QuorvanInitCamera(QuorvanCameraHandle handle) {
    const auto kit = kitHandleTable().find(handle);
    if (!kit)
        return QUORVAN_EVK_INVALID_ARGUMENT;
    const int status = kit->init();
    if (status != QUORVAN_EVK_OK)
        reportProblem(kit->vanished() ? "camera initialisation failed (the kit left the bus)"
                                      : "camera initialisation failed (fail_init is set)");
    return status;
}

int QuorvanGetCameraConfig(QuorvanCameraHandle handle, QuorvanCameraConfig* config) {
    const auto kit = kitHandleTable().find(handle);
    if (!kit || !config)
        return QUORVAN_EVK_INVALID_ARGUMENT;
    kit->getConfig(config);
    return QUORVAN_EVK_OK;
}

int QuorvanStartCamera(QuorvanCameraHandle handle) {
    const auto kit = kitHandleTable().find(handle);
    return kit ? kit->start() : QUORVAN_EVK_INVALID_ARGUMENT;
}

int QuorvanStopCamera(QuorvanCameraHandle handle) {
    const auto kit = kitHandleTable().find(handle);
    return kit ? kit->stop() : QUORVAN_EVK_INVALID_ARGUMENT;
}

int QuorvanCloseCamera(QuorvanCameraHandle handle) {
    {
        const auto kit = kitHandleTable().find(handle);
        if (!kit)
            return QUORVAN_EVK_INVALID_ARGUMENT;
        // Wake any capture still waiting before the kit leaves the table.
        kit->stop();
    }
    // The lease above has ended: removal waits for every other one.
    return kitHandleTable().remove(handle) ? QUORVAN_EVK_OK : QUORVAN_EVK_INVALID_ARGUMENT;
}

int QuorvanCaptureImage(QuorvanCameraHandle handle, QuorvanImage* image, int32_t timeout_ms) {
    const auto kit = kitHandleTable().find(handle);
    if (!kit || !image)
        return QUORVAN_EVK_INVALID_ARGUMENT;
    return kit->capture(image, timeout_ms);
}

int QuorvanFreeImage(QuorvanCameraHandle handle, QuorvanImage image) {
    const auto kit = kitHandleTable().find(handle);
    return kit ? kit->release(image) : QUORVAN_EVK_INVALID_ARGUMENT;
}

int QuorvanWriteSensorReg(QuorvanCameraHandle handle, uint32_t address, uint32_t value) {
    const auto kit = kitHandleTable().find(handle);
    return kit ? kit->writeRegister(address, value) : QUORVAN_EVK_INVALID_ARGUMENT;
}

int QuorvanEvkListKits(const char* config_path, QuorvanEvkKitInfo* kits, uint32_t capacity,
                       uint32_t* count) {
    if (!count || (capacity != 0 && !kits))
        return QUORVAN_EVK_INVALID_ARGUMENT;
    KitSelector selector;
    selector.path = config_path ? config_path : "";
    KitSet set;
    std::string error;
    if (!loadSet(selector, &set, &error)) {
        reportProblem(error);
        return QUORVAN_EVK_BAD_CONFIGURATION;
    }
    for (uint32_t index = 0; index < set.kits.size() && index < capacity; ++index) {
        const KitConfig& config = set.kits[index];
        QuorvanEvkKitInfo& info = kits[index];
        info = QuorvanEvkKitInfo{};
        std::snprintf(info.serial, sizeof info.serial, "%s", config.serial.c_str());
        info.index = index;
        // Geometries are named by the size the kit reports ("640x2405").
        unsigned width = 0;
        unsigned height = 0;
        if (std::sscanf(config.geometry.c_str(), "%ux%u", &width, &height) == 2) {
            info.width = width;
            info.height = height;
        }
        info.attached = PlugBoard::peek(config.serial).attached ? 1 : 0;
    }
    *count = static_cast<uint32_t>(set.kits.size());
    return QUORVAN_EVK_OK;
}

int QuorvanEvkGetSerial(QuorvanCameraHandle handle, char* serial, uint32_t capacity) {
    const auto kit = kitHandleTable().find(handle);
    if (!kit || !serial || capacity <= kit->serial().size())
        return QUORVAN_EVK_INVALID_ARGUMENT;
    std::memcpy(serial, kit->serial().c_str(), kit->serial().size() + 1);
    return QUORVAN_EVK_OK;
}

int QuorvanEvkSetAttached(const char* serial, int attached) {
    if (!serial || serial[0] == '\0')
        return QUORVAN_EVK_INVALID_ARGUMENT;
    PlugBoard::stateOf(serial)->setAttached(attached != 0);
    return QUORVAN_EVK_OK;
}

}  // extern "C"
