// The kits attached to the emulated bus. A configuration file describes one
// kit with plain `key = value` lines, or several: `kit.<n>.<key> = value`
// gives kit n (numbered from 0, without gaps) its own value of any key,
// over the plain lines, which every kit shares.
//
// The open path may end in a selector that picks one kit of the set:
// `kits.cfg#serial=QVK000002` or `kits.cfg#index=1` (`#index=1` alone for
// the built-in set). Without one, kit 0 opens.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "kit_config.h"

namespace Quorvan {
namespace evk {

// Kits a set may hold; a bus has only so many ports.
constexpr uint32_t kMaximumKits = 16;
// Environment variable naming the configuration of the kits that the empty
// path reaches; unset, one built-in kit is attached.
constexpr const char* kKitsVariable = "QUORVAN_EVK_KITS";

struct KitSet {
    // Each with its serial and seed filled in.
    std::vector<KitConfig> kits;
};

struct KitSelector {
    std::string path;  // the configuration file; empty for the built-in set
    enum class By { First, Index, Serial } by = By::First;
    uint32_t index = 0;
    std::string serial;
};

// The serial kit `index` answers when its configuration names none.
std::string defaultSerial(uint32_t index);

// Splits an open path into file and selector; false (with *error) for a
// selector that does not parse.
bool parseKitSelector(const std::string& open_path, KitSelector* selector, std::string* error);

// On failure returns false and sets *error to "line N: <problem>" (or a
// problem of the whole set, such as two kits with one serial).
bool parseKitSet(std::istream& input, KitSet* set, std::string* error);
bool parseKitSet(const std::string& text, KitSet* set, std::string* error);
// Reads and parses a file; *error names the file.
bool loadKitSet(const std::string& path, KitSet* set, std::string* error);
// The set the empty path names.
bool loadBuiltInKitSet(KitSet* set, std::string* error);

// The kit of `set` that `selector` names, or null with *error set.
const KitConfig* selectKit(const KitSet& set, const KitSelector& selector, std::string* error);

}  // namespace evk
}  // namespace Quorvan
