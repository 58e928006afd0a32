// Runs a test inside a fresh, empty temporary directory and returns to the
// previous working directory afterwards, whatever the test did in between.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace Quorvan {
namespace testing_support {

class ScopedWorkingDirectory {
public:
    ScopedWorkingDirectory() : previous(std::filesystem::current_path()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "quorvan-vga-XXXXXX");
        if (mkdtemp(pattern.data()) != nullptr) {
            directory = pattern;
            std::filesystem::current_path(directory);
        }
    }
    ~ScopedWorkingDirectory() {
        std::error_code ignored;
        std::filesystem::current_path(previous, ignored);
        if (!directory.empty()) {
            std::filesystem::permissions(directory, std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
            std::filesystem::remove_all(directory, ignored);
        }
    }
    ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
    ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

    bool ready() const { return !directory.empty(); }
    const std::filesystem::path& path() const { return directory; }

private:
    std::filesystem::path previous;
    std::filesystem::path directory;
};

}  // namespace testing_support
}  // namespace Quorvan
