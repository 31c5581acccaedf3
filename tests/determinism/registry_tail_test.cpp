// The run registry's index after a writer was killed in the middle of an
// append: a partial last line is no entry, the next write removes it, and a
// well-formed index reads exactly as before.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "experiment/run_registry.hpp"
#include "support/expect_throws.hpp"
#include "support/golden.hpp"

namespace Core::Kvrn {
namespace {

namespace fs = std::filesystem;

// Two branches; the parameters hold braces, quotes and a backslash, which a
// line-completeness check must not count as structure.
ExperimentResult twoBranchResult(std::uint64_t seed) {
    ExperimentResult result;
    result.experiment = "Tail";
    result.hypothesis = "H1";
    result.metrics = {"state_separation", "firing_rate"};
    for (const char* branch : {"control", "scrambled"}) {
        RunRecord run;
        run.experiment = "Tail";
        run.branch = branch;
        run.point = "stochasticity=0.5_seed=" + std::to_string(seed);
        run.point_hash = 77;
        run.hypothesis = "H1";
        run.theory_version = "T";
        run.engine_version = "e";
        run.metrics_version = "m";
        run.config_hash = 5;
        run.architecture_hash = 6;
        run.seed = seed;
        run.trials = 1;
        run.duration_ns = 150000000;
        run.parameters = {{"interventions", "phase_scramble(}\"{)\\"}, {"sweep.stochasticity", "0.5"}};
        run.metrics = {{"state_separation", 1.0853923266343783}, {"firing_rate", 49.333333333333336}};
        result.runs.push_back(run);
    }
    return result;
}

std::string entryText(const RegistryEntry& e) {
    std::ostringstream out;
    out.precision(17);
    out << e.experiment << '|' << e.branch << '|' << e.point << '|' << e.point_hash << '|' << e.config_hash
        << '|' << e.seed << '|' << e.duration_ns << '|' << e.valid;
    for (const auto& [name, value] : e.metrics) out << '|' << name << '=' << value;
    return out.str();
}

std::vector<std::string> texts(const std::vector<RegistryEntry>& entries) {
    std::vector<std::string> out;
    for (const RegistryEntry& e : entries) out.push_back(entryText(e));
    return out;
}

class RegistryTail : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        base_ = fs::temp_directory_path() / (std::string("vostel-registry-tail-") + info->name());
        fs::remove_all(base_);
        // The index of one result, and the lines a second result appends.
        const RunRegistry first(base_ / "first");
        first.write(twoBranchResult(1));
        firstIndex_ = index(first);
        first.write(twoBranchResult(2));
        secondLines_ = index(first).substr(firstIndex_.size());
        // The lines a third result appends, on their own.
        const RunRegistry third(base_ / "third");
        third.write(twoBranchResult(3));
        thirdLines_ = index(third);
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(base_);
    }

    static std::string index(const RunRegistry& registry) {
        return Testing::readFile((registry.root() / "registry.jsonl").string());
    }
    RunRegistry withIndex(const std::string& text) const {
        const fs::path root = base_ / "work";
        fs::create_directories(root);
        std::ofstream(root / "registry.jsonl", std::ios::binary | std::ios::trunc) << text;
        return RunRegistry(root);
    }

    fs::path base_;
    std::string firstIndex_, secondLines_, thirdLines_;
};

TEST_F(RegistryTail, APartialLastLineIsNoEntryAndTheNextWriteRemovesIt) {
    const std::vector<std::string> expected = texts(withIndex(firstIndex_).loadEntries());
    ASSERT_EQ(expected.size(), 2u);
    const std::string line = secondLines_.substr(0, secondLines_.find('\n') + 1);
    // Every cut short of the closing brace: inside a key, a string, the
    // parameters (braces in quotes), a number (which would still convert,
    // to a wrong value) and the metrics object.
    for (std::size_t cut = 1; cut + 1 < line.size(); ++cut) {
        const RunRegistry registry = withIndex(firstIndex_ + line.substr(0, cut));
        ASSERT_EQ(texts(registry.loadEntries()), expected) << "cut after " << cut << " bytes";
        ASSERT_EQ(registry.readIndex().size(), 2u) << "cut after " << cut << " bytes";
        // Writing is slow enough to try at a sample of the cuts only.
        if (cut % 16 != 1 && cut + 2 != line.size()) continue;
        registry.write(twoBranchResult(3));
        ASSERT_EQ(index(registry), firstIndex_ + thirdLines_) << "cut after " << cut << " bytes";
    }
    // An index that is nothing but a partial line.
    const RunRegistry only = withIndex(line.substr(0, 40));
    EXPECT_TRUE(only.loadEntries().empty());
    only.write(twoBranchResult(3));
    EXPECT_EQ(index(only), thirdLines_);
}

TEST_F(RegistryTail, AFinishedLastLineWithoutItsLineFeedIsReadAndTheNextLineStartsBelowIt) {
    const std::string whole = firstIndex_ + secondLines_;
    const std::vector<std::string> expected = texts(withIndex(whole).loadEntries());
    ASSERT_EQ(expected.size(), 4u);
    for (const std::string& ending : {std::string(), std::string(" \r")}) {
        const std::string unterminated = whole.substr(0, whole.size() - 1) + ending;
        const RunRegistry registry = withIndex(unterminated);
        EXPECT_EQ(texts(registry.loadEntries()), expected);
        registry.write(twoBranchResult(3));
        EXPECT_EQ(index(registry), unterminated + "\n" + thirdLines_);
        EXPECT_EQ(registry.loadEntries().size(), 6u);
    }
}

TEST_F(RegistryTail, MalformedLinesStillEndTheRead) {
    const std::string line = secondLines_.substr(0, secondLines_.find('\n') + 1);
    const std::size_t hash = line.find("\"config_hash\":") + 14;
    // A partial line followed by others is no tail: nothing is skipped.
    EXPECT_THROW_MSG(withIndex(firstIndex_ + line.substr(0, hash) + "\n" + secondLines_).readIndex(),
                     std::invalid_argument, "invalid stoull argument");
    // A whole last line without its line feed is read, and so fails as before.
    std::string broken = line.substr(0, line.size() - 1);
    broken.replace(hash, 1, "x");
    EXPECT_THROW_MSG(withIndex(firstIndex_ + broken).readIndex(), std::invalid_argument,
                     "invalid stoull argument");
}

}  // namespace
}  // namespace Core::Kvrn
