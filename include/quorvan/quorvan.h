// Umbrella header for native programs.
#pragma once

#include "quorvan/backend_factory.h"
#include "quorvan/camera.h"
#include "quorvan/capture_failure.h"
#include "quorvan/device.h"
#include "quorvan/frame_buffer.h"
#include "quorvan/i2c.h"
#include "quorvan/log.h"
#include "quorvan/sensor.h"
#include "quorvan/types.h"
