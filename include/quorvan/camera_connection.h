// Several cameras on one machine: what is attached, opening one by its
// serial number, and what a camera does when its device leaves the bus.
//
//   for (const AttachedCamera& found : listAttachedCameras())
//       ... found.serial ...
//   QuorvanTOFCamera camera;
//   openBySerial(camera, "QVK000002");
//   setAutoReconnect(camera, true);   // reopen and restart it when it returns
//
// Reconnecting happens on the camera's capture thread: the stream, its frame
// pool and its settings stay, sequence numbers go on increasing, and the
// frame statistics count the departure, the reconnection and the frames the
// device would have delivered meanwhile (frame_statistics.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quorvan/camera.h"
#include "quorvan/export.h"
#include "quorvan/types.h"

namespace Quorvan {

struct AttachedCamera {
    Connection connection = Connection::USB;
    uint32_t index = 0;  // what open(connection, index) takes
    std::string serial;  // empty when the kit library cannot tell
    uint32_t width = 0;  // sensor size as the device reports it
    uint32_t height = 0;
    bool attached = true;  // false while a known kit is unplugged
};

struct ConnectionEvent {
    enum class Kind { Disconnected, Reconnected };
    Kind kind = Kind::Disconnected;
    std::string serial;
    int64_t host_time_ns = 0;  // system clock, when the capture thread noticed
    uint64_t frames_lost = 0;  // Reconnected: frames the device would have sent meanwhile
    uint64_t gap_ms = 0;       // Reconnected: how long it was away
};

// The USB kits attached now, by index. `kit_config` names a configuration
// describing several kits (null or empty: the built-in set). With a kit
// library that cannot list its bus, one kit at index 0 is listed if it opens.
// The CSI cameras follow the kits: every /dev/videoN behind which this host's
// discovery finds a sensor, with connection CSI and index N (what
// open(Connection::CSI, N) takes); their serial is the media device's, which
// most CSI sensors leave empty.
QUORVAN_API std::vector<AttachedCamera> listAttachedCameras(const char* kit_config = nullptr);

// Opens the kit with this serial. QuorvanInvalidParameter for a null or
// empty serial, QuorvanUnkownDevice when no attached kit has it (the log
// says which serials are), QuorvanNotImplemented when the kit library cannot
// tell serials; otherwise what openWithFile answers. A CSI camera whose
// media device has this serial opens as open(Connection::CSI, N) would.
QUORVAN_API TofErrorCode openBySerial(QuorvanTOFCamera& camera, const char* serial,
                                      const char* kit_config = nullptr);

// The serial of the open camera's device; empty when not known.
QUORVAN_API std::string cameraSerial(const QuorvanTOFCamera& camera);

// On: when the device leaves the bus, the capture thread reopens the same
// serial once it is back and goes on streaming. Off (the default after every
// open): the stream stays dead until the camera is opened again.
// QuorvanUnkownError for a camera that is not open on a USB kit or a CSI
// port. A CSI camera is found again by its capture driver, media device and
// sensor bus, whatever /dev/videoN it returns under.
QUORVAN_API TofErrorCode setAutoReconnect(QuorvanTOFCamera& camera, bool enabled);

// The connection events since the last call, oldest first (at most 64 are
// kept; older ones are dropped).
QUORVAN_API std::vector<ConnectionEvent> takeConnectionEvents(QuorvanTOFCamera& camera);

}  // namespace Quorvan
