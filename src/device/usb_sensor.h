// The capture backend for cameras on the USB evaluation kit. The kit library
// delivers one phase image per capture; getFrame gathers subframe_count of
// them into the raw cache as right-aligned 12-bit samples, starting over
// when the timestamps show that images went missing.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "device/usb_evk_library.h"
#include "quorvan/sensor.h"

namespace Quorvan {

class QuorvanTOFUSBSensor final : public QuorvanTOFSensor {
public:
    static constexpr int32_t kCaptureTimeoutMs = 2000;
    // Consecutive images further apart than this belong to different frames.
    static constexpr uint64_t kGapThreshold = 6;
    // A kit whose timestamps keep jumping would otherwise restart the
    // assembly forever and hold up stop(); past this many restarts in one
    // call the frame is given up.
    static constexpr int kMaxRestartsPerFrame = 4;

    // config_path: empty (or null) for the kit's built-in configuration.
    QuorvanTOFUSBSensor(const char* config_path, uint32_t index);
    QuorvanTOFUSBSensor(const char* config_path, uint32_t index, EvkLibrary& library);
    // Closes a handle that close() was not called for, so the kit is free
    // for the next camera.
    ~QuorvanTOFUSBSensor() override;
    QuorvanTOFUSBSensor(const QuorvanTOFUSBSensor&) = delete;
    QuorvanTOFUSBSensor& operator=(const QuorvanTOFUSBSensor&) = delete;

    int open(QuorvanTOFCamera& camera) override;
    int close() override;
    int start() override;
    int stop() override;
    CameraInfo getFormat() override { return format; }
    int getFrame(uint8_t* cache, uint64_t* timestamp) override;
    int setControl(CameraCtrl id, int value) override;
    int getControl(CameraCtrl id, int* value) override;

    // True when the path names a binary kit configuration (ends in ".bin").
    static bool isBinaryConfigPath(const std::string& path);
    uint32_t index() const { return device_index; }
    bool isOpen() const { return handle != nullptr; }

private:
    // Captures into the cache until subframe_count images are placed; -1 on
    // a timeout, an image of the wrong size or too many restarts.
    int assembleSubframes(uint8_t* cache, uint64_t* timestamp);

    EvkLibrary& library;
    QuorvanCameraHandle handle = nullptr;
    QuorvanImage current_image{};
    CameraInfo format{};
    // Cleared by stop() only after the capture thread has been joined; atomic
    // so the capture thread's reads are well defined anyway.
    std::atomic<bool> streaming{false};
    std::string config_path;
    uint32_t device_index;
};

}  // namespace Quorvan
