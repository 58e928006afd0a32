// A sensor backend for the 640x480 device tests: it keeps a format record
// like the CSI backend (or refuses size changes like the USB kit), records
// the controls it is sent and delivers a prepared capture on every getFrame.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "quorvan/camera.h"
#include "quorvan/sensor.h"

namespace Quorvan {
namespace testing_support {

class FakeVgaSensor final : public QuorvanTOFSensor {
public:
    FakeVgaSensor(uint32_t width, uint32_t height, bool accepts_size) : accepts_size(accepts_size) {
        format.width = width;
        format.height = height;
        format.bit_width = 12;
        format.bpp = 2;
    }

    int open(QuorvanTOFCamera& camera) override {
        camera.reportSensorSize(format.width, format.height);
        camera.reportSampleFormat(12, 2);
        format = camera.getCameraInfo();
        return QuorvanSuccess;
    }
    int close() override { return QuorvanSuccess; }
    int start() override { return QuorvanSuccess; }
    int stop() override { return QuorvanSuccess; }
    CameraInfo getFormat() override { return format; }

    int getFrame(uint8_t* cache, uint64_t* timestamp) override {
        // Paced loosely so a streaming test leaves the machine some room.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const size_t cache_bytes = 2u * format.width * format.height;
        std::memcpy(cache, capture.data(), std::min(cache_bytes, capture.size() * 2));
        *timestamp = ++frames;
        return QuorvanSuccess;
    }

    int setControl(CameraCtrl id, int value) override {
        set_calls.emplace_back(id, value);
        switch (id) {
            case CameraCtrl::FMT_WIDTH:
            case CameraCtrl::FMT_HEIGHT:
                if (!accepts_size) {
                    return QuorvanInvalidParameter;
                }
                (id == CameraCtrl::FMT_WIDTH ? format.width : format.height) =
                    static_cast<uint32_t>(value);
                return QuorvanSuccess;
            case CameraCtrl::FRAME_RATE:
                if (value > max_frame_rate) {
                    return QuorvanInvalidParameter;
                }
                frame_rate.store(value);
                return QuorvanSuccess;
            default:
                return QuorvanInvalidParameter;
        }
    }

    int getControl(CameraCtrl id, int* value) override {
        if (id == CameraCtrl::FRAME_RATE) {
            *value = frame_rate.load();
            return QuorvanSuccess;
        }
        if (id == CameraCtrl::EXPOSURE) {
            *value = 777;
            return QuorvanSuccess;
        }
        return QuorvanNotImplemented;
    }

    bool accepts_size;
    int max_frame_rate = 1000;
    CameraInfo format{};
    std::vector<std::pair<CameraCtrl, int>> set_calls;
    std::vector<uint16_t> capture;  // copied into the cache, as far as both reach
    std::atomic<int> frame_rate{0};
    uint64_t frames = 0;
};

}  // namespace testing_support
}  // namespace Quorvan
