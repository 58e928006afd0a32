#include "system/kernel_files.h"

#include <gtest/gtest.h>

#include <string>

#include "support/simulated_kernel.h"

namespace Quorvan {
namespace {

using simulation::Fault;
using simulation::KernelCall;
using simulation::SimulatedKernel;

// Longer than one read chunk, so that reading has to loop.
std::string sampleText() {
    std::string text;
    for (int i = 0; i < 1500; ++i)
        text += "line " + std::to_string(i) + "\n";
    return text;
}

TEST(KernelFiles, WhatIsWrittenReadsBackWhole) {
    SimulatedKernel kernel;
    const std::string text = sampleText();
    ASSERT_TRUE(writeWholeFile(kernel, "/data/cloud", text.data(), text.size()));
    EXPECT_EQ(kernel.fileContent("/data/cloud"), text);
    std::string read_back;
    ASSERT_TRUE(readWholeFile(kernel, "/data/cloud", text.size(), &read_back));
    EXPECT_EQ(read_back, text);
    EXPECT_EQ(kernel.openDescriptorCount(), 0);

    ASSERT_TRUE(writeWholeFile(kernel, "/data/empty", nullptr, 0));
    ASSERT_TRUE(readWholeFile(kernel, "/data/empty", 16, &read_back));
    EXPECT_EQ(read_back, "");
}

TEST(KernelFiles, AFileBeyondTheBoundIsRefused) {
    SimulatedKernel kernel;
    kernel.addFile("/data/text", std::string(10000, 'x'));
    std::string text;
    EXPECT_TRUE(readWholeFile(kernel, "/data/text", 10000, &text));
    EXPECT_FALSE(readWholeFile(kernel, "/data/text", 9999, &text));
    EXPECT_EQ(kernel.openDescriptorCount(), 0);
}

TEST(KernelFiles, ShortAndInterruptedCallsAreContinued) {
    SimulatedKernel kernel;
    const std::string text = sampleText();
    kernel.limitWritesTo(1000);
    kernel.injectFault(Fault{KernelCall::Write, 0, "/data/cloud", EINTR, 2, 1});
    ASSERT_TRUE(writeWholeFile(kernel, "/data/cloud", text.data(), text.size()));
    EXPECT_EQ(kernel.fileContent("/data/cloud"), text);

    kernel.injectFault(Fault{KernelCall::Read, 0, "/data/cloud", EINTR, 1, 1});
    std::string read_back;
    ASSERT_TRUE(readWholeFile(kernel, "/data/cloud", text.size(), &read_back));
    EXPECT_EQ(read_back, text);
}

TEST(KernelFiles, EveryFailingStepFailsTheCallAndClosesTheFile) {
    struct Case {
        const char* what;
        Fault fault;
        bool writing;
    };
    const Case cases[] = {
        {"open for reading", {KernelCall::Open, 0, "/data/file", ENOENT, 0, 1}, false},
        {"read", {KernelCall::Read, 0, "/data/file", EIO, 0, 1}, false},
        {"create", {KernelCall::Open, 0, "/data/file", EACCES, 0, 1}, true},
        {"write", {KernelCall::Write, 0, "/data/file", ENOSPC, 1, 1}, true},
        // A full disk on a network file system may show only here.
        {"close after writing", {KernelCall::Close, 0, "/data/file", EDQUOT, 0, 1}, true},
    };
    const std::string text = sampleText();
    for (const Case& c : cases) {
        SimulatedKernel kernel;
        kernel.addFile("/data/file", text);
        kernel.limitWritesTo(1000);
        kernel.injectFault(c.fault);
        std::string read_back;
        const bool done = c.writing ? writeWholeFile(kernel, "/data/file", text.data(), text.size())
                                    : readWholeFile(kernel, "/data/file", text.size(), &read_back);
        EXPECT_FALSE(done) << c.what;
        EXPECT_EQ(kernel.openDescriptorCount(), 0) << c.what;
    }
    SimulatedKernel kernel;
    std::string text_out;
    EXPECT_FALSE(readWholeFile(kernel, "/data/missing", 100, &text_out));
    EXPECT_FALSE(readWholeFile(kernel, nullptr, 100, &text_out));
    EXPECT_FALSE(writeWholeFile(kernel, nullptr, "x", 1));
    EXPECT_FALSE(writeWholeFile(kernel, "/data/file", nullptr, 1));
}

}  // namespace
}  // namespace Quorvan
