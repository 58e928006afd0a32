// A thin test client of the kit's C interface: opens a kit from a
// configuration text, captures whole 240x180 frames and decodes them.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/hqvga_kernels.h"
#include "emulation/kit_test_support.h"
#include "quorvan_evk_sdk.h"

namespace Quorvan {
namespace testing_support {

class KitClient {
public:
    static constexpr int kPixels = 240 * 180;

    // Opens (and initialises) a kit configured by `config_text`; empty text
    // opens the built-in kit.
    explicit KitClient(const std::string& config_text, uint32_t buffer_count = 4) {
        QuorvanOpenParam param;
        QuorvanDefaultParam(&param);
        param.buffer_count = buffer_count;
        if (!config_text.empty()) {
            file_ = std::make_unique<TempConfigFile>(config_text);
            param.config_path = file_->c_str();
        }
        open_status_ = QuorvanOpenCamera(&handle_, &param);
        if (open_status_ == QUORVAN_EVK_OK)
            init_status_ = QuorvanInitCamera(handle_);
    }
    ~KitClient() {
        if (open_status_ == QUORVAN_EVK_OK)
            QuorvanCloseCamera(handle_);
    }
    KitClient(const KitClient&) = delete;
    KitClient& operator=(const KitClient&) = delete;

    QuorvanCameraHandle handle() const { return handle_; }
    int openStatus() const { return open_status_; }
    int initStatus() const { return init_status_; }

    // Captures one image and copies its bytes; the status of the capture.
    int captureCopy(std::vector<uint8_t>* bytes, QuorvanImage* record = nullptr,
                    int32_t timeout_ms = 2000) {
        QuorvanImage image{};
        const int status = QuorvanCaptureImage(handle_, &image, timeout_ms);
        if (status != QUORVAN_EVK_OK)
            return status;
        bytes->assign(image.data, image.data + image.size);
        if (record)
            *record = image;
        EXPECT_EQ(QuorvanFreeImage(handle_, image), QUORVAN_EVK_OK);
        return status;
    }

    // Four 12-bit images back to back, as the USB backend would assemble
    // them from a 12-bit kit; false when a capture failed.
    bool captureFrame(std::vector<uint16_t>* cache, std::vector<uint64_t>* timestamps = nullptr) {
        cache->assign(4 * kPixels, 0);
        for (int image = 0; image < 4; ++image) {
            std::vector<uint8_t> bytes;
            QuorvanImage record{};
            if (captureCopy(&bytes, &record) != QUORVAN_EVK_OK || bytes.size() != 2u * kPixels)
                return false;
            std::memcpy(cache->data() + image * kPixels, bytes.data(), bytes.size());
            if (timestamps)
                timestamps->push_back(record.timestamp);
        }
        return true;
    }

    void selectRange(int range) {
        const uint32_t value = range == 2000 ? 0x08 : 0x10;
        ASSERT_EQ(QuorvanWriteSensorReg(handle_, 0x216c, value), QUORVAN_EVK_OK);
    }

private:
    std::unique_ptr<TempConfigFile> file_;
    QuorvanCameraHandle handle_ = nullptr;
    int open_status_ = -100;
    int init_status_ = -100;
};

// p99 depth error of a captured frame against the default scene, decoded at
// `range` by the 240x180 device's computation.
inline DepthComparison decodeAgainstTruth(const std::vector<uint16_t>& cache, int range,
                                          const emulation::GroundTruth& truth) {
    std::vector<float> depth(KitClient::kPixels), amplitude(KitClient::kPixels),
        confidence(KitClient::kPixels);
    hqvga::computeDepth(cache.data(), depth.data(), amplitude.data(), confidence.data(), range,
                        range == 2000 ? 75e6f : 37.5e6f, 0);
    return compareDepth(depth.data(), amplitude.data(), truth, range, 3200.0f);
}

}  // namespace testing_support
}  // namespace Quorvan
