// The capture backend for cameras on a MIPI-CSI port of a single-board host:
// a V4L2 capture node for the frames, the sensor's V4L2 sub-device (found
// through the media controller) for range and exposure, and the sensor's
// I2C bus for the frame-rate register. What differs per host board (buffer
// type, discovery, pixel format, line layout) follows the platform value.
//
// Every call into the operating system goes through the KernelInterface given
// at construction, so a simulated board can stand in for the real one.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "csi/kernel_interface.h"
#include "csi/line_copy.h"
#include "quorvan/sensor.h"

namespace Quorvan {

class QuorvanTOFCSISensor final : public QuorvanTOFSensor {
public:
    static constexpr int kMaxSubdevices = 4;
    static constexpr int kBufferCount = 8;

    QuorvanTOFCSISensor(const char* node_path, int32_t platform, KernelInterface& kernel);
    // Releases whatever close() was not called for: mappings and handles.
    ~QuorvanTOFCSISensor() override;
    QuorvanTOFCSISensor(const QuorvanTOFCSISensor&) = delete;
    QuorvanTOFCSISensor& operator=(const QuorvanTOFCSISensor&) = delete;

    int open(QuorvanTOFCamera& camera) override;
    int close() override;
    int start() override;
    int stop() override;
    CameraInfo getFormat() override { return format; }
    int getFrame(uint8_t* cache, uint64_t* timestamp) override;
    int setControl(CameraCtrl id, int value) override;
    int getControl(CameraCtrl id, int* value) override;

    // What open() found, for diagnostics.
    uint32_t bufferType() const { return buffer_type; }
    int subdeviceCount() const { return subdevice_count; }
    int sensorSubdeviceIndex() const { return sensor_subdevice_index; }
    const char* i2cBusName() const { return i2c_bus_name; }
    int mappedBufferCount() const;

private:
    struct MappedBuffer {
        uint8_t* address = nullptr;
        size_t length = 0;
    };

    // Discovery (csi_discovery.cpp).
    bool captureNodeDevice(uint32_t* major, uint32_t* minor);
    void discoverThroughMediaController();
    void walkMediaGraph(int media_handle);
    bool routeReceiverToCaptureNode(int media_handle);
    uint32_t findEntityByName(int media_handle, const char* name);
    bool addBridgeSubdevice(uint32_t major, uint32_t minor);
    bool addSensorSubdevice(const char* entity_name, uint32_t major, uint32_t minor);
    int openEntitySubdevice(uint32_t major, uint32_t minor);
    int readBusNameFromSysfs();

    // Streaming (csi_streaming.cpp).
    int applyFormat();
    int applySubdeviceFormats();
    int mapAndQueueBuffers();
    void chooseLineCopy(size_t buffer_length);
    void unmapBuffers();
    int releaseDriverBuffers();
    void closeHandles();
    int sensorSubdeviceHandle() const;

    // Controls (csi_controls.cpp).
    int setSensorControl(uint32_t control_id, int value);
    int getSensorControl(uint32_t control_id, int* value);
    int writeFrameRateRegister(int value);

    KernelInterface& kernel;
    int video_handle = -1;
    std::array<int, kMaxSubdevices> subdevice_handles{-1, -1, -1, -1};
    uint8_t sensor_subdevice_index = 0;
    uint8_t subdevice_count = 0;
    char i2c_bus_name[10] = {};
    int i2c_handle = -1;
    int16_t chip_address = 0x0c;
    // Read by the capture thread (through the device) while the application
    // may write it.
    std::atomic<int> frame_rate;
    int video_input = 0;
    int32_t platform;
    char video_node_path[80] = {};
    uint32_t buffer_type;
    std::array<MappedBuffer, kBufferCount> buffers{};
    CameraInfo format{};
    LineCopyRoutine line_copy = copyPlain;
    // Fixed by start(): getFrame reads these instead of the format record,
    // which controls may rewrite for the next start while frames flow.
    uint32_t stream_width = 0;
    size_t subframe_bytes = 0;
};

}  // namespace Quorvan
