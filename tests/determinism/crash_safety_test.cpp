// Kills a sweep with SIGKILL at random moments, over and over, and checks
// that every restart reuses exactly what the registry holds, that the
// registry always reads, and that the finished sweep is the one an
// uninterrupted run produces, down to every registry file.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "experiment/run_registry.hpp"
#include "support/process.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Testing::fileTree;
using Testing::Finished;
using Testing::lineCount;
using Testing::readText;
using Testing::VostelProcess;
using Testing::withoutRunsLine;

// The sweep of tests/data/cli/long.vostel: four values, seeds 11 to 110.
const char* const kAxisValues[] = {"0.25", "0.5", "1", "2"};
constexpr std::uint64_t kSeeds = 100;
constexpr std::uint64_t kFirstSeed = 11;
constexpr std::size_t kPairs = 400;
constexpr int kKills = 25;
constexpr std::uint64_t kDelaySeed = 0x5eed0fdecade;

// The index up to and including its last line feed: the lines a writer finished.
std::string finishedPart(const std::string& index) {
    const std::size_t feed = index.rfind('\n');
    return feed == std::string::npos ? std::string() : index.substr(0, feed + 1);
}

std::string pairLabel(std::size_t pair) {
    return std::string("stochasticity=") + kAxisValues[pair / kSeeds] +
           "_seed=" + std::to_string(kFirstSeed + pair % kSeeds);
}

// A uniform double in [0, 1) from the generator's top 53 bits, the same on
// every platform (the standard distributions are not).
double unit(std::mt19937_64& generator) { return static_cast<double>(generator() >> 11) * 0x1.0p-53; }

Finished run(const std::vector<std::string>& arguments, const fs::path& work) {
    return VostelProcess(arguments, work, "child").wait();
}

class CrashSafety : public ::testing::Test {
  protected:
    void SetUp() override {
        work_ = fs::temp_directory_path() / ("vostel-crash-safety-" + std::to_string(::getpid()));
        fs::remove_all(work_);
        fs::create_directories(work_);
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(work_);
    }

    // Every index line finished, a readable registry, and the stored pairs
    // are the first ones in expansion order, each once: a restart that ran a
    // stored pair again would have appended it a second time.
    void expectStoredPrefix(const fs::path& registry, std::size_t finished, const std::string& when) const {
        std::vector<Core::Kvrn::RegistryEntry> entries;
        try {
            entries = Core::Kvrn::RunRegistry(registry).loadEntries();
        } catch (const std::exception& error) {
            FAIL() << when << ": the index does not read: " << error.what();
        }
        ASSERT_EQ(entries.size(), finished) << when;
        for (std::size_t pair = 0; pair < entries.size(); ++pair) {
            ASSERT_EQ(entries[pair].point, pairLabel(pair)) << when << ", index line " << pair + 1;
            ASSERT_TRUE(entries[pair].valid) << when;
            ASSERT_EQ(entries[pair].metrics.count("state_separation"), 1u) << when;
        }
    }

    fs::path work_;
};

TEST_F(CrashSafety, ASweepKilledAgainAndAgainEndsAsAnUninterruptedOne) {
    const std::string sweep = std::string(VOSTEL_SOURCE_DIR) + "/tests/data/cli/long.vostel";
    const fs::path reference = work_ / "reference";
    const fs::path registry = work_ / "killed";
    const fs::path index = registry / "registry.jsonl";

    const auto started = Clock::now();
    const Finished uninterrupted =
        run({"run", sweep, "--registry", reference.string(), "--jobs", "2"}, work_);
    const double sweepSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    ASSERT_EQ(uninterrupted.status, 0) << uninterrupted.err;
    const std::string referenceIndex = readText(reference / "registry.jsonl");
    ASSERT_EQ(lineCount(referenceIndex), kPairs);

    // Each delay is a random share of the time the missing pairs would
    // take, at the rate of pairs stored per second of the restarts so far
    // (a restart spends time starting and loses the pairs in progress),
    // seeded with a tenth of the uninterrupted sweep. So the kills spread
    // over the whole sweep, whatever the machine's load, and leave about a
    // seventh of it to the last run.
    std::mt19937_64 delays(kDelaySeed);
    double storedPairs = kPairs / 10.0, runSeconds = sweepSeconds / 10.0;
    int kills = 0, midway = 0, tears = 0, realTears = 0;
    std::string trail, leftover;  // leftover: the partial line this test appended, while it is there
    for (int attempt = 0; attempt < kKills; ++attempt) {
        const std::string before = finishedPart(readText(index));
        const std::size_t stored = lineCount(before);
        expectStoredPrefix(registry, stored, "before restart " + std::to_string(attempt + 1));
        if (HasFatalFailure()) return;

        const double share = static_cast<double>(kPairs - stored) / (kKills - attempt + 4);
        const double delay = unit(delays) * 2.0 * share * runSeconds / storedPairs;
        VostelProcess process({"run", sweep, "--registry", registry.string(), "--jobs", "2", "--quiet"},
                              work_, "child");
        std::this_thread::sleep_for(std::chrono::duration<double>(delay));
        process.signal(SIGKILL);
        const Finished ended = process.wait();
        if (ended.status == 0) break;  // the sweep finished before the kill
        ASSERT_EQ(ended.status, 128 + SIGKILL) << ended.err;
        ++kills;

        const std::string after = readText(index);
        const std::string kept = finishedPart(after);
        ASSERT_EQ(kept.compare(0, before.size(), before), 0) << "kill " << kills << " changed finished lines";
        ASSERT_EQ(referenceIndex.compare(0, kept.size(), kept), 0)
            << "after kill " << kills << " the finished lines differ from the uninterrupted sweep's";
        const std::size_t now = lineCount(kept);
        expectStoredPrefix(registry, now, "after kill " + std::to_string(kills));
        if (HasFatalFailure()) return;
        if (now > stored && now < kPairs) ++midway;
        storedPairs += static_cast<double>(now - stored);
        runSeconds += delay;
        trail += " " + std::to_string(now);
        const std::string tail = after.substr(kept.size());
        if (!tail.empty() && !(tail == leftover && now == stored)) {
            ++realTears;
            trail += "+torn(ends at byte " + std::to_string(after.size()) + ")";
        }
        leftover = tail;
        // Every fifth kill also leaves what a kill inside the kernel's copy
        // of an index line leaves: the next line cut at a random byte.
        if (tail.empty() && kills % 5 == 0 && now < kPairs) {
            const std::string next =
                referenceIndex.substr(kept.size(), referenceIndex.find('\n', kept.size()) - kept.size());
            const std::size_t cut =
                1 + static_cast<std::size_t>(unit(delays) * static_cast<double>(next.size() - 1));
            leftover = next.substr(0, cut);
            std::ofstream(index, std::ios::binary | std::ios::app) << leftover;
            ++tears;
            expectStoredPrefix(registry, now, "after a torn line");
            if (HasFatalFailure()) return;
            const Finished listed = run({"registry", "ls", registry.string()}, work_);
            ASSERT_EQ(listed.status, 0) << listed.err;
            EXPECT_EQ(lineCount(listed.out), now + 1) << "a header and one line per finished index line";
        }
    }
    std::cout << "[ kills ] " << kills << " kills (" << midway << " with the sweep part done), " << tears
              << " torn lines made, " << realTears
              << " left by a kill; finished lines after each kill:" << trail << "\n"
              << "[ kills ] uninterrupted sweep " << sweepSeconds << " s\n";
    // Where the kills land depends on the machine's speed (a sanitizer build
    // starts slowly); the delays adapt, so asking for some of each is safe.
    EXPECT_GE(kills, kKills / 2) << "restarts finished the sweep before their kill";
    EXPECT_GE(midway, 1) << "no kill landed inside the sweep";

    // The last restart runs to the end and reuses exactly the finished lines.
    const std::size_t stored = lineCount(readText(index));
    const Finished finished = run({"run", sweep, "--registry", registry.string(), "--jobs", "2"}, work_);
    ASSERT_EQ(finished.status, 0) << finished.err;
    EXPECT_NE(finished.out.find("Runs:                 " + std::to_string(kPairs - stored) + " executed, " +
                                std::to_string(stored) + " reused from the registry\n"),
              std::string::npos)
        << finished.out;
    EXPECT_EQ(withoutRunsLine(finished.out), withoutRunsLine(uninterrupted.out));

    const Finished listed = run({"registry", "ls", registry.string()}, work_);
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(lineCount(listed.out), kPairs + 1);
    expectStoredPrefix(registry, kPairs, "at the end");
    EXPECT_EQ(readText(index), referenceIndex);
    EXPECT_TRUE(fileTree(registry) == fileTree(reference))
        << "the run files differ from the uninterrupted sweep's";
}

}  // namespace
