#include "timed_backend_factory.h"

#include <time.h>

#include <chrono>

namespace Quorvan {
namespace bench {
namespace {

uint64_t clockNanoseconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

class TimedSensor final : public QuorvanTOFSensor {
public:
    TimedSensor(std::unique_ptr<QuorvanTOFSensor> inner, std::shared_ptr<SensorCost> cost)
        : inner_(std::move(inner)), cost_(std::move(cost)) {}

    int open(QuorvanTOFCamera& camera) override { return inner_->open(camera); }
    int close() override { return inner_->close(); }
    int start() override {
        inner_->subframe_count = subframe_count;
        return inner_->start();
    }
    int stop() override { return inner_->stop(); }
    CameraInfo getFormat() override { return inner_->getFormat(); }
    int getFrame(uint8_t* cache, uint64_t* timestamp) override {
        inner_->subframe_count = subframe_count;
        const uint64_t cpu_before = clockNanoseconds(CLOCK_THREAD_CPUTIME_ID);
        const int result = inner_->getFrame(cache, timestamp);
        cost_->cpu_ns += clockNanoseconds(CLOCK_THREAD_CPUTIME_ID) - cpu_before;
        cost_->captures += 1;
        *timestamp = steadyMicroseconds();
        return result;
    }
    int setControl(CameraCtrl id, int value) override { return inner_->setControl(id, value); }
    int getControl(CameraCtrl id, int* value) override { return inner_->getControl(id, value); }

private:
    std::unique_ptr<QuorvanTOFSensor> inner_;
    std::shared_ptr<SensorCost> cost_;
};

class TimedBackendFactory final : public BackendFactory {
public:
    explicit TimedBackendFactory(std::shared_ptr<SensorCost> cost)
        : inner_(defaultBackendFactory()), cost_(std::move(cost)) {}

    int32_t detectPlatform() override { return inner_->detectPlatform(); }
    std::unique_ptr<QuorvanTOFSensor> createCSISensor(const char* node_path,
                                                      int32_t platform) override {
        return wrap(inner_->createCSISensor(node_path, platform));
    }
    std::unique_ptr<QuorvanTOFSensor> createUSBSensor(const char* config_path,
                                                      uint32_t index) override {
        return wrap(inner_->createUSBSensor(config_path, index));
    }
    std::unique_ptr<QuorvanDevice> createHQVGADevice(int32_t platform, float modulation_frequency,
                                                     int32_t range) override {
        return inner_->createHQVGADevice(platform, modulation_frequency, range);
    }
    std::unique_ptr<QuorvanDevice> createVGADevice(int32_t platform, int32_t width,
                                                   int32_t height) override {
        return inner_->createVGADevice(platform, width, height);
    }

private:
    std::unique_ptr<QuorvanTOFSensor> wrap(std::unique_ptr<QuorvanTOFSensor> sensor) {
        if (!sensor)
            return nullptr;
        return std::make_unique<TimedSensor>(std::move(sensor), cost_);
    }

    std::shared_ptr<BackendFactory> inner_;
    std::shared_ptr<SensorCost> cost_;
};

}  // namespace

uint64_t steadyMicroseconds() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

uint64_t processCpuNanoseconds() {
    return clockNanoseconds(CLOCK_PROCESS_CPUTIME_ID);
}

std::shared_ptr<BackendFactory> timedBackendFactory(std::shared_ptr<SensorCost> cost) {
    return std::make_shared<TimedBackendFactory>(std::move(cost));
}

}  // namespace bench
}  // namespace Quorvan
