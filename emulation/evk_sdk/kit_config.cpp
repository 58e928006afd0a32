#include "kit_config.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include <sys/stat.h>

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

const std::map<std::string, KeyHandler>& keyHandlers() {
    static const std::map<std::string, KeyHandler> handlers = {
        {"geometry",
         [](const std::string& text, KitConfig& config) -> std::string {
             if (text.empty())
                 return "expected a geometry name";
             config.geometry = text;
             return "";
         }},
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
         [](const std::string& text, KitConfig& config) -> std::string {
             if (text.empty())
                 return "expected a scene name";
             config.scene = text;
             return "";
         }},
        {"horizontal_fov_deg",
         numberIn(10.0, 150.0, [](KitConfig& c, double v) { c.horizontal_fov_deg = v; })},
        {"signal_gain", numberIn(0.0, 1e6, [](KitConfig& c, double v) { c.signal_gain = v; })},
        {"ambient", numberIn(0.0, 1e6, [](KitConfig& c, double v) { c.ambient = v; })},
        {"noise", flag([](KitConfig& c, bool v) { c.noise = v; })},
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
    };
    return handlers;
}

// Keys of the form prefix.name carry a parameter of the scene or the renderer.
std::string applyPrefixedKey(const std::string& key, const std::string& value,
                             KitConfig& config) {
    const auto dot = key.find('.');
    const std::string prefix = key.substr(0, dot);
    const std::string name = key.substr(dot + 1);
    if (name.empty())
        return "key '" + key + "' lacks a parameter name";
    if (prefix == "scene") {
        double number = 0;
        if (!parseDouble(value, &number))
            return "scene parameter " + name + " expects a number";
        config.scene_parameters[name] = number;
        return "";
    }
    if (prefix == "geometry") {
        config.geometry_options[name] = value;
        return "";
    }
    return "unknown key '" + key + "'";
}

// Applies one non-empty line; returns the problem, or an empty string.
std::string applyLine(const std::string& line, KitConfig& config) {
    const auto equals = line.find('=');
    if (equals == std::string::npos)
        return "expected key = value, found '" + line + "'";
    const std::string key = trim(line.substr(0, equals));
    const std::string value = trim(line.substr(equals + 1));
    if (key.empty())
        return "missing key before '='";
    const auto handler = keyHandlers().find(key);
    if (handler != keyHandlers().end()) {
        const std::string refused = handler->second(value, config);
        return refused.empty() ? "" : key + ": " + refused;
    }
    if (key.find('.') != std::string::npos)
        return applyPrefixedKey(key, value, config);
    return "unknown key '" + key + "'";
}

}  // namespace

bool parseKitConfig(const std::string& text, KitConfig* config, std::string* error) {
    KitConfig parsed;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        const auto hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        line = trim(line);
        if (line.empty())
            continue;
        const std::string problem = applyLine(line, parsed);
        if (!problem.empty()) {
            if (error)
                *error = "line " + std::to_string(number) + ": " + problem;
            return false;
        }
    }
    *config = parsed;
    return true;
}

bool loadKitConfig(const std::string& path, KitConfig* config, std::string* error) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        if (error)
            *error = path + ": cannot read the file (" + std::strerror(errno) + ")";
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        if (error)
            *error = path + ": not a regular file";
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (error)
            *error = path + ": cannot read the file (" + std::strerror(errno) + ")";
        return false;
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    if (contents.str().find('\0') != std::string::npos) {
        if (error)
            *error = path + ": not a text configuration file";
        return false;
    }
    std::string problem;
    if (!parseKitConfig(contents.str(), config, &problem)) {
        if (error)
            *error = path + ": " + problem;
        return false;
    }
    return true;
}

}  // namespace evk
}  // namespace Quorvan
