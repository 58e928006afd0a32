// A kit library whose images are scripted by the test: each capture hands
// out the next scripted image (or status), and every call is recorded.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "device/usb_evk_library.h"

namespace Quorvan {
namespace testing_support {

struct ScriptedImage {
    int status = 0;
    uint64_t timestamp = 0;
    std::vector<uint8_t> data;
    int32_t size_adjustment = 0;  // reported size = data.size() + this
};

class ScriptedKit final : public EvkLibrary {
public:
    uint32_t width = 4;
    uint32_t height = 2;
    uint8_t bits_per_pixel = 12;
    int open_status = 0;
    int init_status = 0;
    int start_status = 0;

    std::deque<ScriptedImage> script;
    std::vector<std::string> calls;
    std::string opened_path;
    bool opened_with_path = false;
    int binary_flag = -1;
    int captures = 0;
    int frees = 0;
    int outstanding = 0;  // images handed out and not yet freed
    std::vector<std::pair<uint32_t, uint32_t>> registers;

    // Appends an image whose every sample of every pixel is `value` (two
    // bytes little-endian above 8 bits, else one byte).
    void addImage(uint64_t timestamp, uint16_t value) {
        ScriptedImage image;
        image.timestamp = timestamp;
        const size_t samples = static_cast<size_t>(width) * height;
        for (size_t i = 0; i < samples; ++i) {
            image.data.push_back(static_cast<uint8_t>(value & 0xFF));
            if (bits_per_pixel > 8)
                image.data.push_back(static_cast<uint8_t>(value >> 8));
        }
        script.push_back(image);
    }
    void addTimeout() {
        ScriptedImage image;
        image.status = QUORVAN_EVK_TIMEOUT;
        script.push_back(image);
    }

    int defaultParam(QuorvanOpenParam* param) override {
        calls.push_back("defaultParam");
        *param = QuorvanOpenParam{};
        param->binary_config = 0x5A;  // a library default the backend must overwrite
        return 0;
    }
    int openCamera(QuorvanCameraHandle* handle, const QuorvanOpenParam* param) override {
        calls.push_back("openCamera");
        opened_with_path = param->config_path != nullptr;
        opened_path = param->config_path ? param->config_path : "";
        binary_flag = param->binary_config;
        if (open_status == 0)
            *handle = reinterpret_cast<QuorvanCameraHandle>(this);
        return open_status;
    }
    int initCamera(QuorvanCameraHandle) override {
        calls.push_back("initCamera");
        return init_status;
    }
    int getCameraConfig(QuorvanCameraHandle, QuorvanCameraConfig* config) override {
        calls.push_back("getCameraConfig");
        *config = QuorvanCameraConfig{};
        config->width = width;
        config->height = height;
        config->bits_per_pixel = bits_per_pixel;
        return 0;
    }
    int startCamera(QuorvanCameraHandle) override {
        calls.push_back("startCamera");
        return start_status;
    }
    int stopCamera(QuorvanCameraHandle) override {
        calls.push_back("stopCamera");
        return 0;
    }
    int closeCamera(QuorvanCameraHandle) override {
        calls.push_back("closeCamera");
        return 0;
    }
    int captureImage(QuorvanCameraHandle, QuorvanImage* image, int32_t timeout_ms) override {
        ++captures;
        last_timeout_ms = timeout_ms;
        if (script.empty())
            return QUORVAN_EVK_TIMEOUT;
        current_ = script.front();
        script.pop_front();
        if (current_.status != 0)
            return current_.status;
        *image = QuorvanImage{};
        image->timestamp = current_.timestamp;
        image->size = static_cast<uint32_t>(current_.data.size() + current_.size_adjustment);
        image->data = current_.data.data();
        ++outstanding;
        return 0;
    }
    int freeImage(QuorvanCameraHandle, QuorvanImage image) override {
        ++frees;
        if (image.data == current_.data.data())
            --outstanding;
        return 0;
    }
    int writeSensorReg(QuorvanCameraHandle, uint32_t address, uint32_t value) override {
        registers.emplace_back(address, value);
        return 0;
    }

    int32_t last_timeout_ms = 0;

private:
    ScriptedImage current_;
};

}  // namespace testing_support
}  // namespace Quorvan
