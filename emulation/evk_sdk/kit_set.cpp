#include "kit_set.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

namespace Quorvan {
namespace evk {

namespace {

constexpr const char* kKitPrefix = "kit.";

struct KitLine {
    int number;
    std::string key;
    std::string value;
};

// "kit.<n>.<rest>": true with n and rest; false for any other key.
// *problem is set for a kit key that is malformed.
bool splitKitKey(const std::string& key, uint32_t* kit, std::string* rest, std::string* problem) {
    if (key.compare(0, 4, kKitPrefix) != 0)
        return false;
    const auto dot = key.find('.', 4);
    const std::string number =
        key.substr(4, dot == std::string::npos ? std::string::npos : dot - 4);
    const bool digits = !number.empty() && number.size() <= 3 &&
                        number.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || dot == std::string::npos || dot + 1 == key.size()) {
        *problem = "expected kit.<number>.<key>, found " + quoteForMessage(key);
        return true;
    }
    *kit = static_cast<uint32_t>(std::stoul(number));
    if (*kit >= kMaximumKits) {
        *problem = "kit numbers run from 0 to " + std::to_string(kMaximumKits - 1);
        return true;
    }
    *rest = key.substr(dot + 1);
    return true;
}

bool parseWholeNumber(const std::string& text, uint32_t* value) {
    if (text.empty() || text.size() > 3 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = static_cast<uint32_t>(std::stoul(text));
    return true;
}

}  // namespace

std::string defaultSerial(uint32_t index) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "QVK%06u", index + 1);
    return serial;
}

bool parseKitSelector(const std::string& open_path, KitSelector* selector, std::string* error) {
    *selector = KitSelector{};
    const auto hash = open_path.rfind('#');
    const std::string tail = hash == std::string::npos ? "" : open_path.substr(hash + 1);
    const bool by_serial = tail.compare(0, 7, "serial=") == 0;
    const bool by_index = tail.compare(0, 6, "index=") == 0;
    if (!by_serial && !by_index) {
        selector->path = open_path;
        return true;
    }
    selector->path = open_path.substr(0, hash);
    if (by_serial) {
        selector->by = KitSelector::By::Serial;
        selector->serial = tail.substr(7);
        if (selector->serial.empty()) {
            *error = "kit selector: empty serial";
            return false;
        }
        return true;
    }
    selector->by = KitSelector::By::Index;
    if (!parseWholeNumber(tail.substr(6), &selector->index)) {
        *error = "kit selector: expected index=<number>, found " + quoteForMessage(tail);
        return false;
    }
    return true;
}

bool parseKitSet(std::istream& input, KitSet* set, std::string* error) {
    KitConfig shared;
    std::map<uint32_t, std::vector<KitLine>> own_lines;
    const std::string problem =
        readKitLines(input, [&](int number, const std::string& key, const std::string& value) {
            uint32_t kit = 0;
            std::string rest;
            std::string malformed;
            if (!splitKitKey(key, &kit, &rest, &malformed))
                return applyKitKey(key, value, shared);
            if (!malformed.empty())
                return malformed;
            // Checked now, against a scratch configuration, so a bad value
            // is reported with its own line number.
            KitConfig scratch;
            const std::string refused = applyKitKey(rest, value, scratch);
            if (refused.empty())
                own_lines[kit].push_back(KitLine{number, rest, value});
            return refused;
        });
    if (!problem.empty()) {
        *error = problem;
        return false;
    }
    const uint32_t count = own_lines.empty() ? 1 : own_lines.rbegin()->first + 1;
    if (!own_lines.empty() && own_lines.size() != count) {
        *error = "kits are numbered from 0 without gaps, but kit " +
                 std::to_string(own_lines.rbegin()->first) + " is given and not every one before";
        return false;
    }
    if (count > 1 && !shared.serial.empty()) {
        *error = "serial is a kit's own: give it as kit.<n>.serial";
        return false;
    }
    KitSet parsed;
    std::set<std::string> serials;
    for (uint32_t index = 0; index < count; ++index) {
        KitConfig config = shared;
        // Kits that share the plain lines would otherwise see the same noise.
        config.seed = shared.seed + index;
        for (const KitLine& line : own_lines[index])
            applyKitKey(line.key, line.value, config);
        if (config.serial.empty())
            config.serial = defaultSerial(index);
        if (!serials.insert(config.serial).second) {
            *error = "two kits answer to serial " + config.serial;
            return false;
        }
        parsed.kits.push_back(config);
    }
    *set = std::move(parsed);
    return true;
}

bool parseKitSet(const std::string& text, KitSet* set, std::string* error) {
    std::istringstream input(text);
    return parseKitSet(input, set, error);
}

bool loadKitSet(const std::string& path, KitSet* set, std::string* error) {
    return parseKitFile(path, parseKitSet, set, error);
}

bool loadBuiltInKitSet(KitSet* set, std::string* error) {
    const char* named = std::getenv(kKitsVariable);
    if (named != nullptr && named[0] != '\0') {
        if (!loadKitSet(named, set, error)) {
            *error = std::string(kKitsVariable) + ": " + *error;
            return false;
        }
        return true;
    }
    KitSet built_in;
    built_in.kits.emplace_back();
    built_in.kits.back().serial = defaultSerial(0);
    *set = std::move(built_in);
    return true;
}

const KitConfig* selectKit(const KitSet& set, const KitSelector& selector, std::string* error) {
    switch (selector.by) {
        case KitSelector::By::First:
            return set.kits.empty() ? nullptr : &set.kits.front();
        case KitSelector::By::Index:
            if (selector.index < set.kits.size())
                return &set.kits[selector.index];
            *error = "no kit at index " + std::to_string(selector.index) + " (" +
                     std::to_string(set.kits.size()) + " attached)";
            return nullptr;
        case KitSelector::By::Serial:
            for (const KitConfig& kit : set.kits) {
                if (kit.serial == selector.serial)
                    return &kit;
            }
            *error = "no kit with serial " + quoteForMessage(selector.serial);
            return nullptr;
    }
    return nullptr;
}

}  // namespace evk
}  // namespace Quorvan
