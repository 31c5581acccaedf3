#pragma once

// A test fixture for end-to-end tests of the vostel binary: a fresh work
// directory per test (kept when the test fails, for a look afterwards) and
// child processes whose output files are numbered per call.

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "process.hpp"

namespace Testing {

class VostelTest : public ::testing::Test {
  protected:
    // `prefix` names the work directories, e.g. "vostel-cli-".
    explicit VostelTest(std::string prefix) : prefix_(std::move(prefix)) {}

    void SetUp() override {
        work_ = std::filesystem::temp_directory_path() /
                (prefix_ + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(work_);
        std::filesystem::create_directories(work_);
    }
    void TearDown() override {
        if (!HasFailure()) std::filesystem::remove_all(work_);
    }

    Finished run(const std::vector<std::string>& arguments) { return start(arguments).wait(); }
    VostelProcess start(const std::vector<std::string>& arguments) {
        return VostelProcess(arguments, work_, "call" + std::to_string(calls_++));
    }
    std::string at(const std::string& name) const { return (work_ / name).string(); }

    std::filesystem::path work_;

  private:
    std::string prefix_;
    int calls_ = 0;
};

}  // namespace Testing
