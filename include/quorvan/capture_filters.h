// Depth filters the capture thread can apply to every depth frame before it
// is handed out, so that consumers (and recordings, and the live tools)
// receive cleaned depth without filtering each frame themselves. All are off
// by default: depth frames are then exactly what the device computed.
//
//   CaptureFilterSettings filters;
//   filters.min_amplitude = 20.0f;
//   filters.flying_pixels = true;
//   camera.setCaptureFilters(filters);   // from the next frame on
//
// The filters run in this order: amplitude threshold, flying pixels, 3x3
// median, temporal smoothing (last, so that it smooths cleaned depth). Each
// is the function of the same name in quorvan/tof_filters.h, with the same
// parameters; only the depth plane is changed. Raw frames are never filtered.
#pragma once

#include "quorvan/tof_filters.h"

namespace Quorvan {

struct CaptureFilterSettings {
    // Pixels with less amplitude lose their depth; 0 turns the threshold off.
    float min_amplitude = 0.0f;
    bool flying_pixels = false;
    filters::FlyingPixelParameters flying;
    bool median = false;
    // The smoothing history starts afresh at every start and whenever the
    // settings change.
    bool temporal = false;
    filters::TemporalParameters temporal_parameters;

    bool anyEnabled() const { return min_amplitude > 0.0f || flying_pixels || median || temporal; }
};

}  // namespace Quorvan
