// The kits the connection tests attach: a kit-set file named by the
// emulator's environment variable before any camera opens, so the empty
// path (open(USB, n), openBySerial) reaches them.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "emulation/kit_test_support.h"

namespace Quorvan {
namespace testing_support {

class KitSetEnvironment : public ::testing::Environment {
public:
    explicit KitSetEnvironment(std::string text) : text_(std::move(text)) {}
    void SetUp() override {
        file_ = std::make_unique<TempConfigFile>(text_);
        ::setenv("QUORVAN_EVK_KITS", file_->c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("QUORVAN_EVK_KITS");
        file_.reset();
    }

private:
    std::string text_;
    std::unique_ptr<TempConfigFile> file_;
};

}  // namespace testing_support
}  // namespace Quorvan
