#include "kit_config.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

namespace Quorvan {
namespace evk {

namespace {

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool parseDouble(const std::string& text, double* value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(parsed))
        return false;
    *value = parsed;
    return true;
}

bool parseUnsigned(const std::string& text, uint64_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *value = parsed;
    return true;
}

bool parseBool(const std::string& text, bool* value) {
    if (text == "on" || text == "true" || text == "yes" || text == "1") {
        *value = true;
        return true;
    }
    if (text == "off" || text == "false" || text == "no" || text == "0") {
        *value = false;
        return true;
    }
    return false;
}

// Each handler parses one key's value into the config; it returns an empty
// string on success or the problem.
using KeyHandler = std::function<std::string(const std::string&, KitConfig&)>;

KeyHandler unsignedIn(uint64_t low, uint64_t high, std::function<void(KitConfig&, uint64_t)> set) {
    return [=](const std::string& text, KitConfig& config) -> std::string {
        uint64_t value = 0;
        if (!parseUnsigned(text, &value) || value < low || value > high)
            return "expected a whole number from " + std::to_string(low) + " to " +
                   std::to_string(high);
        set(config, value);
        return "";
    };
}

KeyHandler numberIn(double low, double high, std::function<void(KitConfig&, double)> set) {
    return [=](const std::string& text, KitConfig& config) -> std::string {
        double value = 0;
        if (!parseDouble(text, &value) || value < low || value > high) {
            std::ostringstream problem;
            problem << "expected a number from " << low << " to " << high;
            return problem.str();
        }
        set(config, value);
        return "";
    };
}

KeyHandler flag(std::function<void(KitConfig&, bool)> set) {
    return [=](const std::string& text, KitConfig& config) -> std::string {
        bool value = false;
        if (!parseBool(text, &value))
            return "expected on or off";
        set(config, value);
        return "";
    };
}

// `what` names the value in the message for an empty one.
KeyHandler nonEmptyText(const char* what, std::function<void(KitConfig&, const std::string&)> set) {
    return [=](const std::string& text, KitConfig& config) -> std::string {
        if (text.empty())
            return std::string("expected ") + what;
        set(config, text);
        return "";
    };
}

const std::map<std::string, KeyHandler>& keyHandlers() {
    static const std::map<std::string, KeyHandler> handlers = {
        {"geometry", nonEmptyText("a geometry name",
                                  [](KitConfig& c, const std::string& v) { c.geometry = v; })},
        {"bits_per_pixel",
         [](const std::string& text, KitConfig& config) -> std::string {
             uint64_t bits = 0;
             const bool parsed = parseUnsigned(text, &bits);
             if (!parsed || (bits != 8 && bits != 10 && bits != 12 && bits != 16))
                 return "expected 8, 10, 12 or 16";
             config.bits_per_pixel = static_cast<uint32_t>(bits);
             return "";
         }},
        {"frame_rate",
         [](const std::string& text, KitConfig& config) -> std::string {
             if (text == "unpaced") {
                 config.frame_rate = 0.0;
                 return "";
             }
             double rate = 0;
             if (!parseDouble(text, &rate) || rate < 0.1 || rate > 200.0)
                 return "expected a rate from 0.1 to 200 frames per second, or unpaced";
             config.frame_rate = rate;
             return "";
         }},
        {"subframe_interval_ms",
         unsignedIn(1, 50, [](KitConfig& c, uint64_t v) { c.subframe_interval_ms = uint32_t(v); })},
        {"scene",
         nonEmptyText("a scene name", [](KitConfig& c, const std::string& v) { c.scene = v; })},
        {"horizontal_fov_deg",
         numberIn(10.0, 150.0, [](KitConfig& c, double v) { c.horizontal_fov_deg = v; })},
        {"signal_gain", numberIn(0.0, 1e6, [](KitConfig& c, double v) { c.signal_gain = v; })},
        {"ambient", numberIn(0.0, 1e6, [](KitConfig& c, double v) { c.ambient = v; })},
        {"noise", flag([](KitConfig& c, bool v) { c.noise = v; })},
        {"skip_missed_frames", flag([](KitConfig& c, bool v) { c.skip_missed_frames = v; })},
        {"noise_scale", numberIn(0.0, 100.0, [](KitConfig& c, double v) { c.noise_scale = v; })},
        {"seed", unsignedIn(0, UINT64_MAX, [](KitConfig& c, uint64_t v) { c.seed = v; })},
        {"fail_open", flag([](KitConfig& c, bool v) { c.faults.fail_open = v; })},
        {"fail_init", flag([](KitConfig& c, bool v) { c.faults.fail_init = v; })},
        {"timeout_every",
         unsignedIn(0, UINT32_MAX,
                    [](KitConfig& c, uint64_t v) { c.faults.timeout_every = uint32_t(v); })},
        {"timeout_probability",
         numberIn(0.0, 1.0, [](KitConfig& c, double v) { c.faults.timeout_probability = v; })},
        {"timeout_wait_ms",
         unsignedIn(0, 60000,
                    [](KitConfig& c, uint64_t v) { c.faults.timeout_wait_ms = int32_t(v); })},
        {"wrong_size_every",
         unsignedIn(0, UINT32_MAX,
                    [](KitConfig& c, uint64_t v) { c.faults.wrong_size_every = uint32_t(v); })},
        {"gap_every",
         unsignedIn(0, UINT32_MAX,
                    [](KitConfig& c, uint64_t v) { c.faults.gap_every = uint32_t(v); })},
        {"gap_ms",
         unsignedIn(6, 100000, [](KitConfig& c, uint64_t v) { c.faults.gap_ms = uint32_t(v); })},
        {"clock_offset_ms",
         numberIn(-1e9, 1e12, [](KitConfig& c, double v) { c.clock.offset_ms = v; })},
        {"clock_drift_ppm",
         numberIn(-10000.0, 10000.0, [](KitConfig& c, double v) { c.clock.drift_ppm = v; })},
        {"delivery_jitter_ms",
         numberIn(0.0, 1000.0, [](KitConfig& c, double v) { c.clock.delivery_jitter_ms = v; })},
        {"serial",
         [](const std::string& text,
            KitConfig& config) -> std::
                                   string {
                                       const bool printable =
                                           !text.empty() && text.size() <= 31 &&
                                           std::all_of(text.begin(), text.end(), [](char c) {
                                               return (c >= '0' && c <= '9') ||
                                                      (c >= 'A' && c <= 'Z') ||
                                                      (c >= 'a' && c <= 'z') || c == '-' ||
                                                      c == '_';
                                           });
                                       if (!printable)
                                           return "expected 1 to 31 letters, digits, '-' or '_'";
                                       config.serial = text;
                                       return "";
                                   }},
        {"unplug_after_ms",
         unsignedIn(0, 86400000,
                    [](KitConfig& c, uint64_t v) { c.faults.unplug_after_ms = uint32_t(v); })},
        {"unplugged_ms",
         unsignedIn(0, 86400000,
                    [](KitConfig& c, uint64_t v) { c.faults.unplugged_ms = uint32_t(v); })},
        {"unplug_every_ms",
         unsignedIn(0, 86400000,
                    [](KitConfig& c, uint64_t v) { c.faults.unplug_every_ms = uint32_t(v); })},
    };
    return handlers;
}

// A short printable name as it is; anything else quoted, cut and escaped.
std::string plainOrQuoted(const std::string& name) {
    const bool plain = name.size() <= 40 && std::all_of(name.begin(), name.end(), [](char c) {
                           return static_cast<unsigned char>(c) >= 0x20 && c != 0x7f;
                       });
    return plain ? name : quoteForMessage(name);
}

// Keys of the form prefix.name carry a parameter of the scene or the renderer.
std::string applyPrefixedKey(const std::string& key, const std::string& value, KitConfig& config) {
    const auto dot = key.find('.');
    const std::string prefix = key.substr(0, dot);
    const std::string name = key.substr(dot + 1);
    if (name.empty())
        return "key " + quoteForMessage(key) + " lacks a parameter name";
    if (prefix == "scene") {
        double number = 0;
        if (!parseDouble(value, &number))
            return "scene parameter " + plainOrQuoted(name) + " expects a number";
        config.scene_parameters[name] = number;
        return "";
    }
    if (prefix == "geometry") {
        config.geometry_options[name] = value;
        return "";
    }
    return "unknown key " + quoteForMessage(key);
}

// Configuration lines are short; a longer one is refused without being
// held whole, so a file of one enormous line costs no memory.
constexpr size_t kLongestLine = 4096;
// How much of an offending text a message quotes.
constexpr size_t kQuotedCharacters = 80;

// Splits one non-empty line into key and value; returns the problem, or an
// empty string.
std::string splitLine(const std::string& line, std::string* key, std::string* value) {
    const auto equals = line.find('=');
    if (equals == std::string::npos)
        return "expected key = value, found " + quoteForMessage(line);
    *key = trim(line.substr(0, equals));
    *value = trim(line.substr(equals + 1));
    if (key->empty())
        return "missing key before '='";
    return "";
}

// Reads one line into *line, keeping at most kLongestLine characters; the
// rest of a longer line is consumed and *too_long set. False at end of input.
bool readBoundedLine(std::istream& input, std::string* line, bool* too_long) {
    line->clear();
    *too_long = false;
    std::streambuf* buffer = input.rdbuf();
    bool read_any = false;
    for (;;) {
        const int c = buffer->sbumpc();
        if (c == std::char_traits<char>::eof())
            return read_any;
        read_any = true;
        if (c == '\n')
            return true;
        if (line->size() < kLongestLine)
            line->push_back(static_cast<char>(c));
        else
            *too_long = true;
    }
}

// `text` with control characters escaped as \xNN, cut after `limit`
// characters; *cut tells whether anything was left out.
std::string escapeForMessage(const std::string& text, size_t limit, bool* cut) {
    static const char kHex[] = "0123456789abcdef";
    std::string escaped;
    *cut = text.size() > limit;
    for (size_t i = 0; i < text.size() && i < limit; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7f) {
            escaped += "\\x";
            escaped += kHex[byte >> 4];
            escaped += kHex[byte & 0xf];
        } else {
            escaped += text[i];
        }
    }
    return escaped;
}

}  // namespace

std::string quoteForMessage(const std::string& text) {
    bool cut = false;
    const std::string escaped = escapeForMessage(text, kQuotedCharacters, &cut);
    return "'" + escaped + (cut ? "'..." : "'");
}

std::string applyKitKey(const std::string& key, const std::string& value, KitConfig& config) {
    const auto handler = keyHandlers().find(key);
    if (handler != keyHandlers().end()) {
        const std::string refused = handler->second(value, config);
        return refused.empty() ? "" : key + ": " + refused;
    }
    if (key.find('.') != std::string::npos)
        return applyPrefixedKey(key, value, config);
    return "unknown key " + quoteForMessage(key);
}

std::string readKitLines(std::istream& input,
                         const std::function<std::string(int number, const std::string& key,
                                                         const std::string& value)>& apply) {
    std::string line;
    bool too_long = false;
    int number = 0;
    const auto refuse = [&](const std::string& problem) {
        return "line " + std::to_string(number) + ": " + problem;
    };
    while (readBoundedLine(input, &line, &too_long)) {
        ++number;
        // Editors on some systems save UTF-8 text with a byte-order mark.
        if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
            line.erase(0, 3);
        if (too_long) {
            return refuse("longer than " + std::to_string(kLongestLine) + " characters, starting " +
                          quoteForMessage(line));
        }
        if (line.find('\0') != std::string::npos)
            return refuse("not a text configuration file (holds a NUL byte)");
        const auto hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        line = trim(line);
        if (line.empty())
            continue;
        std::string key;
        std::string value;
        std::string problem = splitLine(line, &key, &value);
        if (problem.empty())
            problem = apply(number, key, value);
        if (!problem.empty())
            return refuse(problem);
    }
    return "";
}

bool parseKitConfig(std::istream& input, KitConfig* config, std::string* error) {
    KitConfig parsed;
    const std::string problem =
        readKitLines(input, [&](int, const std::string& key, const std::string& value) {
            return applyKitKey(key, value, parsed);
        });
    if (!problem.empty()) {
        if (error)
            *error = problem;
        return false;
    }
    *config = parsed;
    return true;
}

bool parseKitConfig(const std::string& text, KitConfig* config, std::string* error) {
    std::istringstream input(text);
    return parseKitConfig(input, config, error);
}

bool parseKitFile(const std::string& path,
                  const std::function<bool(std::istream& input, std::string* problem)>& parse,
                  std::string* error) {
    // A path is the caller's own text, shown whole unless it is absurdly long.
    bool cut = false;
    std::string shown_path = escapeForMessage(path, 4 * kQuotedCharacters, &cut);
    if (cut)
        shown_path += "...";
    std::string problem;
    struct stat status {};
    std::ifstream file;
    if (::stat(path.c_str(), &status) != 0) {
        problem = std::string("cannot read the file (") + std::strerror(errno) + ")";
    } else if (!S_ISREG(status.st_mode)) {
        problem = "not a regular file";
    } else {
        file.open(path, std::ios::binary);
        if (!file)
            problem = std::string("cannot read the file (") + std::strerror(errno) + ")";
        else if (!parse(file, &problem) && problem.empty())
            problem = "cannot be parsed";
    }
    if (problem.empty())
        return true;
    if (error)
        *error = shown_path + ": " + problem;
    return false;
}

bool loadKitConfig(const std::string& path, KitConfig* config, std::string* error) {
    return parseKitFile(path, parseKitConfig, config, error);
}

}  // namespace evk
}  // namespace Quorvan
