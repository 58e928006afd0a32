#include "device/vga_device.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "device/default_config_files.h"
#include "device/range_modes.h"
#include "device/sensor_sizes.h"
#include "log/log.h"
#include "quorvan/sensor.h"

namespace Quorvan {
namespace {

constexpr int32_t kFullWidth = kVGAFullSize.width;
constexpr int32_t kFullHeight = kVGAFullSize.height;
constexpr int32_t kHalfWidth = kVGAHalfSize.width;
constexpr int32_t kHalfHeight = kVGAHalfSize.height;
constexpr int32_t kRawPlaneKind = 2;
constexpr long kCloseDelayNs = 500L * 1000L * 1000L;
constexpr char kCalibrationFile[] = "cali.bin";

// Frames per second the sensor sustains at each size before a rate is set.
struct DefaultFrameRate {
    int32_t width;
    int32_t height;
    int32_t single;
    int32_t double_frequency;
};
constexpr DefaultFrameRate kDefaultFrameRates[] = {
    {kFullWidth, kFullHeight, 41, 23},
    {kHalfWidth, kHalfHeight, 61, 36},
};

int32_t rowsFor(int32_t height, bool single) {
    return (single ? 5 : 10) * (height + 1);
}

// Callers rely on close lasting at least 500 ms before the library handle
// goes (the library winds down in that time). A signal must not cut the wait
// short, so the remaining time is slept again.
void sleepBeforeDestroy() {
    timespec remaining{0, kCloseDelayNs};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace

QuorvanDeviceVGA::QuorvanDeviceVGA(int32_t platform, int32_t width, int32_t height,
                                   KernelInterface& kernel)
    : QuorvanDevice(platform), width(width), height(height), calibration(kernel) {}

QuorvanDeviceVGA::~QuorvanDeviceVGA() {
    // A camera destroyed without close would otherwise leak the handle and the
    // calibration mapping; no delay is owed here since nothing streams.
    destroyLibrary();
}

bool QuorvanDeviceVGA::singleFrequency() const {
    return SiSDKIsSingleFreq(library);
}

int32_t QuorvanDeviceVGA::rawRows() const {
    return rowsFor(height.load(), singleFrequency());
}

void QuorvanDeviceVGA::destroyLibrary() {
    SiSDKDestroy(&library);
    // Only now may the calibration go: the library reads it for as long as
    // its handle lives.
    calibration.release();
    library_started = false;
}

void QuorvanDeviceVGA::getFrameFormats(PlaneDescriptor& raw, PlaneDescriptor& depth) {
    const int32_t current_width = width.load();
    const int32_t current_height = height.load();
    const bool single = singleFrequency();
    const int32_t rows = rowsFor(current_height, single);
    raw.kind = kRawPlaneKind;
    raw.width = current_width;
    raw.height = rows;
    depth.width = current_width;
    depth.height = current_height;
    publishLayoutInForce(current_width, current_height, single, rows);
}

void QuorvanDeviceVGA::publishLayoutInForce(int32_t layout_width, int32_t layout_height,
                                            bool single, int32_t rows) {
    raw_samples_in_force.store(0);
    depth_in_force.store(false);
    if (sensor == nullptr) {
        return;
    }
    // The camera sizes the cache from what the sensor reports, which is not
    // what configureSensor asked for when the sensor refused the size (the
    // USB kit keeps its own). Reading width x rows samples from a smaller
    // cache would run past it, so such frames are refused.
    const CameraInfo format = sensor->getFormat();
    const int64_t cache_samples = static_cast<int64_t>(format.width) * format.height *
                                  (sensor->subframe_count > 0 ? sensor->subframe_count : 0);
    const int64_t needed_samples = static_cast<int64_t>(layout_width) * rows;
    if (format.width != static_cast<uint32_t>(layout_width) || cache_samples < needed_samples) {
        QUORVAN_LOGF(Device, Error,
                     "QuorvanDeviceVGA: the sensor delivers %ux%u samples, %dx%d are needed; "
                     "frames are refused",
                     format.width, format.height, layout_width, rows);
        return;
    }
    raw_samples_in_force.store(needed_samples);
    if (!library_started) {
        return;  // a failed or missing start refuses depth frames silently
    }
    // The library decodes the size and mode it was started with; a change
    // made since (without a new start) would make it read another layout.
    const bool library_matches = started_width == layout_width && started_height == layout_height &&
                                 started_single == single;
    if (!library_matches) {
        QUORVAN_LOGF(Device, Error,
                     "QuorvanDeviceVGA: size or frequency mode changed since the last start; "
                     "depth frames are refused until the next start");
        return;
    }
    depth_in_force.store(true);
}

int QuorvanDeviceVGA::open(QuorvanTOFSensor* bound_sensor) {
    if (bound_sensor == nullptr) {
        return QuorvanInvalidParameter;
    }
    sensor = bound_sensor;
    destroyLibrary();  // a second open must not leak the first handle
    return SiSDKCreate(&library) ? QuorvanSuccess : QuorvanUnkownError;
}

int QuorvanDeviceVGA::close() {
    sleepBeforeDestroy();
    destroyLibrary();
    raw_samples_in_force.store(0);
    depth_in_force.store(false);
    return QuorvanSuccess;
}

int QuorvanDeviceVGA::configureSensor() {
    if (sensor == nullptr) {
        return QuorvanSuccess;
    }
    sensor->setControl(CameraCtrl::FMT_WIDTH, width.load());
    sensor->setControl(CameraCtrl::FMT_HEIGHT, rawRows());
    return adoptLayoutOfSensor();
}

int QuorvanDeviceVGA::adoptLayoutOfSensor() {
    // A sensor whose size is fixed (the USB kit keeps the capture its
    // configuration describes) ignores the request above. Streaming then works
    // only in the size and frequency mode its capture holds, so those are
    // taken over rather than refusing every frame.
    const CameraInfo format = sensor->getFormat();
    const int64_t rows = static_cast<int64_t>(format.height) *
                         (sensor->subframe_count > 0 ? sensor->subframe_count : 1);
    if (static_cast<int64_t>(format.width) == width.load() && rows == rawRows()) {
        return QuorvanSuccess;
    }
    struct Layout {
        int32_t width;
        int32_t height;
        bool single;
    };
    constexpr Layout kLayouts[] = {
        {kFullWidth, kFullHeight, false}, {kFullWidth, kFullHeight, true},
        {kHalfWidth, kHalfHeight, false}, {kHalfWidth, kHalfHeight, true},
        {kHalfWidth, kFullHeight, false}, {kHalfWidth, kFullHeight, true},
    };
    for (const Layout& layout : kLayouts) {
        if (static_cast<int64_t>(format.width) == layout.width &&
            rows == rowsFor(layout.height, layout.single)) {
            width.store(layout.width);
            height.store(layout.height);
            SiSDKSetSingleFreq(library, layout.single);
            return QuorvanSuccess;
        }
    }
    QUORVAN_LOGF(Device, Error,
                 "QuorvanDeviceVGA: the sensor delivers %ux%lld samples, which fits no 640x480 "
                 "sensor layout (width 640 or 320, 5 or 10 blocks of height + 1 rows)",
                 format.width, static_cast<long long>(rows));
    return QuorvanUnkownError;
}

int QuorvanDeviceVGA::startProcessing() {
    if (!writeDefaultConfigFiles()) {
        return QuorvanUnkownError;
    }
    const int32_t start_width = width.load();
    const int32_t start_height = height.load();
    library_started = false;
    if (!SiSDKInit(library, start_width, start_height)) {
        destroyLibrary();
        return QuorvanUnkownError;
    }
    // The library forgot the previous calibration in SiSDKInit, so the old
    // mapping can go before the file is mapped afresh.
    if (calibration.map(kCalibrationFile)) {
        SiSDKSetCaliData(library, calibration.data(), calibration.size());
    }
    if (!config_directory.empty()) {
        SiSDKSetConfig(library, config_directory.c_str());
    }
    if (!SiSDKStart(library)) {
        destroyLibrary();
        return QuorvanUnkownError;
    }
    library_started = true;
    started_width = start_width;
    started_height = start_height;
    started_single = singleFrequency();
    return QuorvanSuccess;
}

int QuorvanDeviceVGA::setControl(CameraCtrl control, int value) {
    switch (control) {
        case CameraCtrl::FMT_WIDTH:
            if (value != kFullWidth && value != kHalfWidth) {
                return QuorvanInvalidParameter;
            }
            width.store(value);
            return QuorvanSuccess;
        case CameraCtrl::FMT_HEIGHT:
            if (value != kFullHeight && value != kHalfHeight) {
                return QuorvanInvalidParameter;
            }
            height.store(value);
            return QuorvanSuccess;
        case CameraCtrl::MODE:
            if (value != 0 && value != 1) {
                return QuorvanInvalidParameter;
            }
            SiSDKSetSingleFreq(library, value == 0);
            return QuorvanSuccess;
        case CameraCtrl::FRAME_MODE:
            return QuorvanNotImplemented;
        case CameraCtrl::FRAME_RATE: {
            if (sensor == nullptr) {
                return QuorvanUnkownError;
            }
            const int status = sensor->setControl(CameraCtrl::FRAME_RATE, value);
            if (status == QuorvanSuccess) {
                frame_rate_set.store(true);
            }
            return status;
        }
        default:  // RANGE follows from the frequency mode; EXPOSURE is the sensor's own
            return QuorvanInvalidParameter;
    }
}

int QuorvanDeviceVGA::defaultFrameRate(int* value) const {
    const int32_t current_width = width.load();
    const int32_t current_height = height.load();
    for (const DefaultFrameRate& entry : kDefaultFrameRates) {
        if (entry.width == current_width && entry.height == current_height) {
            *value = singleFrequency() ? entry.single : entry.double_frequency;
            return QuorvanSuccess;
        }
    }
    return QuorvanInvalidParameter;  // e.g. 320 x 480: no rate is known to hold
}

int QuorvanDeviceVGA::getControl(CameraCtrl control, int* value) {
    if (value == nullptr) {
        return QuorvanInvalidParameter;
    }
    switch (control) {
        case CameraCtrl::RANGE:
            *value = singleFrequency() ? kVGASingleFrequencyRangeMm : kVGADoubleFrequencyRangeMm;
            return QuorvanSuccess;
        case CameraCtrl::FMT_WIDTH:
            *value = width.load();
            return QuorvanSuccess;
        case CameraCtrl::FMT_HEIGHT:
            *value = height.load();
            return QuorvanSuccess;
        case CameraCtrl::MODE:
            *value = singleFrequency() ? 0 : 1;
            return QuorvanSuccess;
        case CameraCtrl::FRAME_MODE:
            return QuorvanNotImplemented;
        case CameraCtrl::FRAME_RATE:
            if (!frame_rate_set.load()) {
                return defaultFrameRate(value);
            }
            break;
        default:
            break;
    }
    if (sensor == nullptr) {
        return QuorvanUnkownError;
    }
    return sensor->getControl(control, value);
}

int QuorvanDeviceVGA::setControlExt(CameraCtrl control, const char* text) {
    if (control != CameraCtrl::CONFIG_DIR_EXT || text == nullptr) {
        return QuorvanInvalidParameter;
    }
    config_directory = text;
    return QuorvanSuccess;
}

int QuorvanDeviceVGA::getControlExt(CameraCtrl control, const char** text) {
    if (control != CameraCtrl::CONFIG_DIR_EXT || text == nullptr) {
        return QuorvanInvalidParameter;
    }
    *text = config_directory.c_str();
    return QuorvanSuccess;
}

bool QuorvanDeviceVGA::getRawImages(const uint8_t* cache, int16_t* raw) {
    const int64_t samples = raw_samples_in_force.load();
    if (samples == 0 || cache == nullptr || raw == nullptr) {
        return false;
    }
    std::memcpy(raw, cache, static_cast<size_t>(samples) * sizeof(int16_t));
    return true;
}

bool QuorvanDeviceVGA::getPhaseImage(const uint8_t* cache, float* depth, float* amplitude,
                                     float* confidence) {
    if (!depth_in_force.load()) {
        return false;
    }
    return SiSDKGetPhaseImage(library, cache, depth, amplitude, confidence);
}

}  // namespace Quorvan
