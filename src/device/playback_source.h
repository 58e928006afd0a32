// What the playback factory shares with the sensors it hands out: the feed
// of captures and the size of the captures to expect at the next start.
#pragma once

#include <atomic>
#include <cstdint>

#include "device/playback_feed.h"

namespace Quorvan {

struct PlaybackSource {
    PlaybackFeed feed;
    std::atomic<uint32_t> capture_width{0};
    std::atomic<uint32_t> capture_height{0};
};

}  // namespace Quorvan
