// The nine library functions over one context per handle.
#include "si4c.h"

#include <atomic>
#include <cstdio>
#include <new>
#include <string>

#include "si4c_decoder.h"
#include "si4c_settings.h"

namespace {

using Quorvan::si4c::AlgorithmSettings;
using Quorvan::si4c::Calibration;

constexpr int32_t kMaxDimension = 4096;

struct Context {
    int32_t width = 0;
    int32_t height = 0;
    bool initialised = false;
    Calibration calibration;
    AlgorithmSettings settings;
    // Asked and changed from the application while frames are decoded; the
    // decoder only sees the mode latched by the last start.
    std::atomic<bool> requested_single{true};
    bool active_single = true;
    bool started = false;
};

Context* contextOf(SiSDKHandle handle) {
    return static_cast<Context*>(handle);
}

}  // namespace

extern "C" {

bool SiSDKCreate(SiSDKHandle* handle) {
    if (handle == nullptr) {
        return false;
    }
    *handle = new (std::nothrow) Context();
    return *handle != nullptr;
}

bool SiSDKInit(SiSDKHandle handle, int32_t width, int32_t height) {
    Context* context = contextOf(handle);
    if (context == nullptr || width < 1 || height < 1 || width > kMaxDimension ||
        height > kMaxDimension) {
        return false;
    }
    context->width = width;
    context->height = height;
    context->calibration = Calibration{};
    context->settings = AlgorithmSettings{};
    context->started = false;
    context->initialised = true;
    return true;
}

void SiSDKSetCaliData(SiSDKHandle handle, const void* data, uint32_t length) {
    Context* context = contextOf(handle);
    if (context == nullptr || !context->initialised || data == nullptr) {
        return;
    }
    if (!Quorvan::si4c::parseCalibration(data, length, context->width, context->height,
                                         context->calibration)) {
        std::fprintf(stderr, "si4c: calibration data not recognised; running without it\n");
    }
}

void SiSDKSetConfig(SiSDKHandle handle, const char* directory) {
    Context* context = contextOf(handle);
    if (context == nullptr || directory == nullptr) {
        return;
    }
    context->settings = Quorvan::si4c::readAlgorithmSettings(directory);
}

bool SiSDKStart(SiSDKHandle handle) {
    Context* context = contextOf(handle);
    if (context == nullptr || !context->initialised) {
        return false;
    }
    context->active_single = context->requested_single.load();
    context->started = true;
    return true;
}

bool SiSDKIsSingleFreq(SiSDKHandle handle) {
    const Context* context = contextOf(handle);
    return context == nullptr || context->requested_single.load();
}

void SiSDKSetSingleFreq(SiSDKHandle handle, bool single) {
    Context* context = contextOf(handle);
    if (context != nullptr) {
        context->requested_single.store(single);
    }
}

bool SiSDKGetPhaseImage(SiSDKHandle handle, const uint8_t* raw, float* depth, float* amplitude,
                        float* confidence) {
    const Context* context = contextOf(handle);
    if (context == nullptr || !context->started || raw == nullptr || depth == nullptr ||
        amplitude == nullptr || confidence == nullptr) {
        return false;
    }
    const Quorvan::si4c::DecoderSetup setup{context->width, context->height, context->active_single,
                                            &context->calibration, &context->settings};
    if (!Quorvan::si4c::captureMatchesMode(setup, raw)) {
        return false;
    }
    Quorvan::si4c::decodeCapture(setup, raw, depth, amplitude, confidence);
    return true;
}

void SiSDKDestroy(SiSDKHandle* handle) {
    if (handle == nullptr) {
        return;
    }
    delete contextOf(*handle);
    *handle = nullptr;
}

}  // extern "C"
