#include "fakes/fake_sensor.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "quorvan/camera.h"

namespace Quorvan {
namespace fakes {

namespace {

std::string controlCall(const std::string& who, const char* what, CameraCtrl id, int value) {
    return who + "." + what + "(" + std::to_string(static_cast<int>(id)) + "," +
           std::to_string(value) + ")";
}

bool isTableControl(CameraCtrl id) {
    const int index = static_cast<int>(id);
    return index >= 0 && index < 10;
}

}  // namespace

FakeSensor::FakeSensor(std::string sensor_name, const FakeSensorConfig& sensor_config,
                       std::shared_ptr<CallLog> call_log)
    : name(std::move(sensor_name)), config(sensor_config), log(std::move(call_log)) {
    controls[static_cast<int>(CameraCtrl::FRAME_RATE)] = 30;
}

FakeSensor::~FakeSensor() {
    log->record(name + ".destroy");
}

int FakeSensor::open(QuorvanTOFCamera& camera) {
    log->record(name + ".open");
    camera.reportSensorSize(config.width, config.height);
    camera.reportSampleFormat(config.bit_width, config.bpp);
    format = camera.getCameraInfo();
    return config.open_result;
}

int FakeSensor::close() {
    log->record(name + ".close");
    return config.close_result;
}

int FakeSensor::start() {
    log->record(name + ".start");
    if (config.start_result == 0)
        streaming = true;
    return config.start_result;
}

int FakeSensor::stop() {
    log->record(name + ".stop");
    streaming = false;
    return config.stop_result;
}

CameraInfo FakeSensor::getFormat() {
    log->record(name + ".getFormat");
    return format;
}

int FakeSensor::getFrame(uint8_t* cache, uint64_t* timestamp) {
    if (!streaming)
        frame_called_while_stopped = true;
    const int delay = frame_delay_us.load();
    if (delay > 0 && frame_delay_busy.load()) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(delay);
        while (std::chrono::steady_clock::now() < until) {
        }
    } else if (delay > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
    }
    const uint64_t attempt = frame_attempts.fetch_add(1) + 1;
    const uint32_t every = fail_every.load();
    if (every != 0 && attempt % every == 0)
        return -1;
    const int result = frame_result.load();
    if (result != 0)
        return result;
    const uint64_t sequence = frames_captured.fetch_add(1) + 1;
    std::memcpy(cache, &sequence, sizeof(sequence));
    *timestamp = sequence;
    return 0;
}

int FakeSensor::setControl(CameraCtrl id, int value) {
    log->record(controlCall(name, "setControl", id, value));
    if (!isTableControl(id))
        return QuorvanInvalidParameter;
    controls[static_cast<int>(id)] = value;
    return QuorvanSuccess;
}

int FakeSensor::getControl(CameraCtrl id, int* value) {
    if (!isTableControl(id))
        return QuorvanInvalidParameter;
    *value = controls[static_cast<int>(id)];
    return QuorvanSuccess;
}

}  // namespace fakes
}  // namespace Quorvan
