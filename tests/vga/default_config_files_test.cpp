// The three default configuration texts: exact bytes, and how the writer
// behaves in directories it can and cannot write to.
#include "device/default_config_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "vga/scoped_working_directory.h"

namespace Quorvan {
namespace {

using testing_support::ScopedWorkingDirectory;
namespace fs = std::filesystem;

uint32_t crc32(const unsigned char* bytes, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

struct ExpectedText {
    const char* file_name;
    size_t size;
    uint32_t crc;  // computed once from the reference text
    bool ends_with_line_feed;
};

constexpr ExpectedText kExpected[] = {
    {"ConfigAlgorithm.json", 273, 0x9555064fu, true},
    {"ConfigCamera.json", 9476, 0xc6ed09f6u, false},
    {"register.json", 946, 0x0769952fu, false},
};

std::string readFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string embeddedText(size_t index) {
    const DefaultConfigText& text = kDefaultConfigTexts[index];
    return std::string(reinterpret_cast<const char*>(text.bytes), text.size);
}

TEST(DefaultConfigTexts, MatchTheReferenceBytes) {
    for (size_t i = 0; i < kDefaultConfigTextCount; ++i) {
        const DefaultConfigText& text = kDefaultConfigTexts[i];
        SCOPED_TRACE(kExpected[i].file_name);
        EXPECT_STREQ(text.file_name, kExpected[i].file_name);
        EXPECT_EQ(text.size, kExpected[i].size);
        EXPECT_EQ(crc32(text.bytes, text.size), kExpected[i].crc);
        const std::string content = embeddedText(i);
        EXPECT_EQ(content.find('\r'), std::string::npos);
        EXPECT_EQ(content.back() == '\n', kExpected[i].ends_with_line_feed);
    }
}

TEST(DefaultConfigTexts, CameraTextHasItsSectionsInOrder) {
    const std::string camera = embeddedText(1);
    size_t line_feeds = 0;
    for (char c : camera) {
        line_feeds += c == '\n' ? 1 : 0;
    }
    EXPECT_EQ(line_feeds, 431u);
    size_t previous = 0;
    for (const char* section : {"[VideoInfo]", "[Signle-4PHASE]", "[Signle-4PHASE_GRAY]",
                                "[Double-4PHASE_4PHASE]", "[Double-4PHASE_GRAY_4PHASE_BG]",
                                "[Gray-Only]", "[BGOUTDOOR]", "[Signal-BG-GRAY-BG-4PHASE]"}) {
        const size_t at = camera.find(section);
        ASSERT_NE(at, std::string::npos) << section;
        EXPECT_GE(at, previous) << section;
        previous = at;
    }
    // The comment that disagrees with its setting is kept as written.
    EXPECT_NE(camera.find("[Double-4PHASE_4PHASE]\nWorkMode=1\nSubWorkMode=10\n"),
              std::string::npos);
    EXPECT_NE(camera.find("//PLLDLLDivs={{5,2,24},{2,2,24},{2,2,24},{2,2,24}}\n"
                          "Frame0_1To4PhaseDiv=4\n"),
              std::string::npos);
    EXPECT_EQ(camera.substr(camera.size() - 19), "performClkChanges=0");
}

TEST(DefaultConfigWriter, CreatesExactFilesAndRestoresEditedOnes) {
    ScopedWorkingDirectory directory;
    ASSERT_TRUE(directory.ready());
    ASSERT_TRUE(writeDefaultConfigFiles());
    for (size_t i = 0; i < kDefaultConfigTextCount; ++i) {
        EXPECT_EQ(readFile(kExpected[i].file_name), embeddedText(i)) << kExpected[i].file_name;
    }

    // A longer edited file must be truncated, not just overwritten in front.
    {
        std::ofstream edited("register.json", std::ios::binary | std::ios::trunc);
        edited << std::string(5000, 'x');
    }
    ASSERT_TRUE(writeDefaultConfigFiles());
    EXPECT_EQ(readFile("register.json"), embeddedText(2));
}

TEST(DefaultConfigWriter, DirectoryInTheWayStopsAfterTheFirstFile) {
    ScopedWorkingDirectory directory;
    ASSERT_TRUE(directory.ready());
    fs::create_directory("ConfigCamera.json");
    EXPECT_FALSE(writeDefaultConfigFiles());
    EXPECT_EQ(readFile("ConfigAlgorithm.json"), embeddedText(0));
    EXPECT_TRUE(fs::is_directory("ConfigCamera.json"));
    EXPECT_FALSE(fs::exists("register.json"));
}

TEST(DefaultConfigWriter, RemovedWorkingDirectoryFailsAndCreatesNothing) {
    // A directory that no longer exists refuses new files even to root, so
    // this failure path is exercised whoever runs the tests.
    ScopedWorkingDirectory directory;
    ASSERT_TRUE(directory.ready());
    ASSERT_EQ(::rmdir(directory.path().c_str()), 0);
    EXPECT_FALSE(writeDefaultConfigFiles());
    EXPECT_FALSE(fs::exists(directory.path()));
}

// What the writer returned in a child process, run as an unprivileged user
// when the tests run as root (who writes into read-only directories).
enum class ChildOutcome { Wrote, Refused, CouldNotDropPrivileges, Crashed };

ChildOutcome writeAsUnprivilegedUser() {
    const pid_t child = ::fork();
    if (child == 0) {
        constexpr uid_t kNobody = 65534;
        if (::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
            ::_exit(2);
        ::_exit(writeDefaultConfigFiles() ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return ChildOutcome::Crashed;
    switch (WEXITSTATUS(status)) {
        case 0:
            return ChildOutcome::Wrote;
        case 1:
            return ChildOutcome::Refused;
        case 2:
            return ChildOutcome::CouldNotDropPrivileges;
        default:
            return ChildOutcome::Crashed;
    }
}

TEST(DefaultConfigWriter, ReadOnlyDirectoryFailsAndCreatesNothing) {
    ScopedWorkingDirectory directory;
    ASSERT_TRUE(directory.ready());
    // Readable and searchable by everyone, so only the missing write
    // permission stops the writer.
    ASSERT_EQ(::chmod(directory.path().c_str(), 0555), 0);
    EXPECT_EQ(writeAsUnprivilegedUser(), ChildOutcome::Refused);
    EXPECT_TRUE(fs::is_empty(directory.path()));
}

}  // namespace
}  // namespace Quorvan
