// Vocabulary shared by every part of the camera SDK: enumerations, value
// records and status codes. The numeric values are part of the external
// interface (Python callers pass and compare them), gaps included.
#pragma once

#include <cstdint>

#include "quorvan/export.h"

namespace Quorvan {

// Resolution class of the attached sensor; decides the processing device.
enum DeviceType : uint32_t {
    VGA = 0,    // 640x480, depth from the depth-processing library
    HQVGA = 1,  // 240x180, depth computed by this SDK
};

enum class FrameType : int32_t {
    RAW = 0,
    CONFIDENCE = 1,
    DEPTH = 2,
    AMPLITUDE = 3,  // internal only; not exported to Python
    CACHE = 4,
};

enum class Connection : int32_t {
    CSI = 0,
    USB = 1,
};

enum class CameraCtrl : int32_t {
    RANGE = 0,
    FMT_WIDTH = 1,
    FMT_HEIGHT = 2,
    MODE = 3,
    FRAME_MODE = 4,
    EXPOSURE = 5,
    FRAME_RATE = 6,
    SKIP_FRAME = 7,
    SKIP_FRAME_LOOP = 8,
    AUTO_FRAME_RATE = 9,
    CONFIG_DIR_EXT = 0x100,
};

enum class TofWorkMode : int32_t {
    SINGLE_FREQ = 0,
    DOUBLE_FREQ = 1,
    TRIPLE_FREQ = 2,
    QUAD_FREQ = 3,
    DISTANCE = 4,
    HDR = 5,
    AE = 6,
    BG_OUTDOOR = 7,
    GRAY_ONLY = 8,
    CUSTOM1 = 9,
    CUSTOM2 = 10,
    CUSTOM3 = 11,
};

enum class TofFrameWorkMode : int32_t {
    SINGLE_FREQ_2PHASE = 0,
    SINGLE_FREQ_4PHASE = 1,
    SINGLE_FREQ_4PHASE_GRAY = 2,
    SINGLE_FREQ_4PHASE_BG = 3,
    SINGLE_FREQ_4PHASE_4BG = 4,
    SINGLE_FREQ_4PHASE_GRAY_5BG = 5,
    SINGLE_FREQ_GRAY_BG_4PHASE_GRAY_BG = 6,
    SINGLE_FREQ_GRAY_BG_4PHASE_BG = 7,
    SINGLE_FREQ_BG_GRAY_BG_4PHASE = 8,
    SINGLE_FREQ_BG_4PHASE_BG_GRAY = 9,
    DOUBLE_FREQ_4PHASE = 10,
    DOUBLE_FREQ_4PHASE_GRAY_4PHASE_BG = 11,
    DOUBLE_FREQ_4PHASE_4BG = 12,
    DOUBLE_FREQ_4PHASE_GRAY_5BG = 13,
    TRIPLE_FREQ_4PHASE = 14,
    TRIPLE_FREQ_4PHASE_GRAY_4PHASE_GRAY_4PHASE_BG = 15,
    QUAD_FREQ_4PHASE = 16,
    QUAD_FREQ_4PHASE_GRAY_4PHASE_BG_4PHASE_GRAY_4PHASE_BG = 17,
    BG_OUTDOOR = 18,
    GRAY_ONLY = 19,
    CUSTOM = 20,
};

// Status of every camera, sensor and device operation. The two "Unkown"
// spellings are part of the published interface.
enum TofErrorCode : int32_t {
    QuorvanSuccess = 0,
    QuorvanInvalidParameter = 1,
    QuorvanNoCache = 2,
    QuorvanUnkownDevice = 3,
    QuorvanNotImplemented = 4,
    QuorvanSkipFrame = 0xF0,
    QuorvanSystemError = -2,
    QuorvanUnkownError = -1,
};

struct CameraInfo {
    uint32_t index;
    Connection connect;
    DeviceType device_type;
    FrameType type;
    uint32_t width;
    uint32_t height;
    uint32_t bit_width;  // significant bits per raw sample
    uint32_t bpp;        // bytes per raw sample
};

struct FrameDataFormat {
    uint32_t width;
    uint32_t height;
    FrameType type;
    uint64_t timestamp;  // as delivered by the sensor backend (milliseconds)
};

// English text of a status code; static storage, never freed by the caller.
QUORVAN_API const char* to_str(TofErrorCode code);

}  // namespace Quorvan
