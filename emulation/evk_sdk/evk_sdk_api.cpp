// The exported C functions. Handles are looked up in a table, so a stale or
// made-up handle gets QUORVAN_EVK_INVALID_ARGUMENT instead of a crash, and a
// kit closed while another thread still captures stays alive until that
// capture returns.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "emulated_kit.h"
#include "quorvan_evk_sdk.h"

namespace {

using Quorvan::evk::EmulatedKit;
using Quorvan::evk::KitConfig;

constexpr uint64_t kParamSignature = 0x51564B5041524D31ull;
constexpr uint32_t kDefaultBufferCount = 4;
constexpr uint32_t kMaximumBufferCount = 64;

class KitTable {
public:
    QuorvanCameraHandle add(std::unique_ptr<EmulatedKit> kit) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto handle = reinterpret_cast<QuorvanCameraHandle>(kit.get());
        kits_[handle] = std::shared_ptr<EmulatedKit>(std::move(kit));
        return handle;
    }
    std::shared_ptr<EmulatedKit> find(QuorvanCameraHandle handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = kits_.find(handle);
        return found == kits_.end() ? nullptr : found->second;
    }
    bool remove(QuorvanCameraHandle handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        return kits_.erase(handle) != 0;
    }

private:
    std::mutex mutex_;  // guards kits_
    std::map<QuorvanCameraHandle, std::shared_ptr<EmulatedKit>> kits_;
};

KitTable& kitTable() {
    // Never destroyed: at process exit a camera's capture thread may still be
    // inside QuorvanCaptureImage while static objects are torn down, and a
    // destroyed table (its mutex, its kits) would be used after it was freed.
    static KitTable* const table = new KitTable;
    return *table;
}

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
    const std::string path = param->config_path ? param->config_path : "";
    KitConfig config;
    std::string error;
    if (!path.empty()) {
        const bool loaded = param->binary_config
                                ? checkBinaryConfig(path, &error)
                                : Quorvan::evk::loadKitConfig(path, &config, &error);
        if (!loaded) {
            reportProblem(error);
            return QUORVAN_EVK_BAD_CONFIGURATION;
        }
    }
    const std::string source = path.empty() ? "built-in kit" : path;
    if (config.faults.fail_open) {
        reportProblem(source + ": open failed (fail_open is set)");
        return QUORVAN_EVK_DEVICE_FAILURE;
    }
    auto kit = EmulatedKit::create(config, param->buffer_count, &error);
    if (!kit) {
        reportProblem(source + ": " + error);
        return QUORVAN_EVK_BAD_CONFIGURATION;
    }
    *handle = kitTable().add(std::move(kit));
    return QUORVAN_EVK_OK;
}

int QuorvanInitCamera(QuorvanCameraHandle handle) {
    const auto kit = kitTable().find(handle);
    if (!kit)
        return QUORVAN_EVK_INVALID_ARGUMENT;
    const int status = kit->init();
    if (status != QUORVAN_EVK_OK)
        reportProblem("camera initialisation failed (fail_init is set)");
    return status;
}

int QuorvanGetCameraConfig(QuorvanCameraHandle handle, QuorvanCameraConfig* config) {
    const auto kit = kitTable().find(handle);
    if (!kit || !config)
        return QUORVAN_EVK_INVALID_ARGUMENT;
    kit->getConfig(config);
    return QUORVAN_EVK_OK;
}

int QuorvanStartCamera(QuorvanCameraHandle handle) {
    const auto kit = kitTable().find(handle);
    return kit ? kit->start() : QUORVAN_EVK_INVALID_ARGUMENT;
}

int QuorvanStopCamera(QuorvanCameraHandle handle) {
    const auto kit = kitTable().find(handle);
    return kit ? kit->stop() : QUORVAN_EVK_INVALID_ARGUMENT;
}

int QuorvanCloseCamera(QuorvanCameraHandle handle) {
    const auto kit = kitTable().find(handle);
    if (!kit)
        return QUORVAN_EVK_INVALID_ARGUMENT;
    // Wake any capture still waiting before the kit leaves the table.
    kit->stop();
    kitTable().remove(handle);
    return QUORVAN_EVK_OK;
}

int QuorvanCaptureImage(QuorvanCameraHandle handle, QuorvanImage* image, int32_t timeout_ms) {
    const auto kit = kitTable().find(handle);
    if (!kit || !image)
        return QUORVAN_EVK_INVALID_ARGUMENT;
    return kit->capture(image, timeout_ms);
}

int QuorvanFreeImage(QuorvanCameraHandle handle, QuorvanImage image) {
    const auto kit = kitTable().find(handle);
    return kit ? kit->release(image) : QUORVAN_EVK_INVALID_ARGUMENT;
}

int QuorvanWriteSensorReg(QuorvanCameraHandle handle, uint32_t address, uint32_t value) {
    const auto kit = kitTable().find(handle);
    return kit ? kit->writeRegister(address, value) : QUORVAN_EVK_INVALID_ARGUMENT;
}

}  // extern "C"
