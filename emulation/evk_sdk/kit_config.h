// The emulated kit's configuration: what it looks like, how fast it runs and
// which faults it injects. Read from a `key = value` text file (see
// README.md beside this file); defaults describe the built-in kit.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <istream>
#include <map>
#include <string>

#include "kit_clock.h"
#include "scene/scene.h"

namespace Quorvan {
namespace evk {

struct KitFaults {
    bool fail_open = false;
    bool fail_init = false;
    uint32_t timeout_every = 0;      // every Nth capture call times out (0: never)
    double timeout_probability = 0;  // or each call with this probability
    int32_t timeout_wait_ms = -1;    // how long an injected timeout blocks (-1: the full timeout)
    uint32_t wrong_size_every = 0;   // every Nth image reports a size two bytes short
    uint32_t gap_every = 0;          // every Nth image follows a timestamp gap
    uint32_t gap_ms = 20;
    // The kit drops off the bus unplug_after_ms after its serial was first
    // opened, stays away unplugged_ms, and does so again every
    // unplug_every_ms (0: once). unplugged_ms 0 means never.
    uint32_t unplug_after_ms = 0;
    uint32_t unplugged_ms = 0;
    uint32_t unplug_every_ms = 0;
};

struct KitConfig {
    std::string geometry = "240x180";
    // Renderer-specific options, from keys of the form geometry.<name>.
    std::map<std::string, std::string> geometry_options;
    uint32_t bits_per_pixel = 12;
    double frame_rate = 30.0;  // camera frames per second; 0 means unpaced
    uint32_t subframe_interval_ms = 1;
    std::string scene = "default";
    emulation::SceneParameters scene_parameters;
    double horizontal_fov_deg = emulation::kDefaultHorizontalFovDeg;
    double signal_gain = 2800.0;
    double ambient = 40.0;
    bool noise = true;
    // A caller that falls more than a frame behind skips the frames it missed
    // (as a sensor does); off, every frame is delivered, late, so capture
    // indexes never jump: for references that must pair frames of two runs.
    bool skip_missed_frames = true;
    double noise_scale = 0.35;
    uint64_t seed = 1;
    // What the kit answers when asked who it is; empty until a kit set
    // gives every kit its own (kit_set.h).
    std::string serial;
    KitFaults faults;
    KitClockSettings clock;  // the kit's clock against the host's (kit_clock.h)
};

// Parses configuration text. On failure returns false and sets *error to
// "line N: <problem>".
// Lines are read one at a time; a line longer than 4096 characters is refused,
// and messages quote at most 80 characters of the text, control characters
// escaped. A UTF-8 byte-order mark at the start is skipped.
bool parseKitConfig(const std::string& text, KitConfig* config, std::string* error);
bool parseKitConfig(std::istream& input, KitConfig* config, std::string* error);

// Applies one `key = value` pair to *config; returns the problem, or an
// empty string. Used by the kit-set parser to apply each kit's own keys.
std::string applyKitKey(const std::string& key, const std::string& value, KitConfig& config);

// Reads the configuration lines of `input`, stripped of comments and blank
// lines, calling `line` with each line's number, key and value; stops at
// the first problem (returned as "line N: ...") or at the end ("").
std::string readKitLines(std::istream& input,
                         const std::function<std::string(int number, const std::string& key,
                                                         const std::string& value)>& line);

// `text` in single quotes, cut after 80 characters (marked "..."), with
// control characters written as \xNN, for quoting user input in a message.
std::string quoteForMessage(const std::string& text);

// Reads and parses a file. On failure returns false and sets *error to one
// line naming the file and the problem.
bool loadKitConfig(const std::string& path, KitConfig* config, std::string* error);

// Opens a configuration file and hands it to `parse`, which sets *problem
// when it refuses the contents. On failure returns false and sets *error
// (when given) to one line naming the file and the problem.
bool parseKitFile(const std::string& path,
                  const std::function<bool(std::istream& input, std::string* problem)>& parse,
                  std::string* error);

// The same for a parser of the form parseKitConfig(input, &config, &problem).
template <typename Parsed>
bool parseKitFile(const std::string& path, bool (*parse)(std::istream&, Parsed*, std::string*),
                  Parsed* parsed, std::string* error) {
    return parseKitFile(
        path,
        [&](std::istream& input, std::string* problem) { return parse(input, parsed, problem); },
        error);
}

}  // namespace evk
}  // namespace Quorvan
