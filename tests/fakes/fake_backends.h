// Everything a camera test needs to drive QuorvanTOFCamera without hardware.
#pragma once

#include "fakes/call_log.h"
#include "fakes/camera_test_access.h"
#include "fakes/fake_backend_factory.h"
#include "fakes/fake_device.h"
#include "fakes/fake_sensor.h"
