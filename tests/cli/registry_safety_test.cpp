// What a user does to the tool, carefully or not, must never lose or quietly
// corrupt stored runs: each case runs the vostel binary as its own process.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "support/vostel_test.hpp"

namespace {

namespace fs = std::filesystem;

using Testing::Finished;
using Testing::lineCount;
using Testing::readText;
using Vostel = Testing::VostelProcess;

const std::string kSource = VOSTEL_SOURCE_DIR;
const std::string kSmall = kSource + "/tests/data/cli/small.vostel";
const std::string kInvalid = kSource + "/tests/data/cli/invalid-runs.vostel";

class RegistrySafety : public Testing::VostelTest {
  protected:
    RegistrySafety() : VostelTest("vostel-safety-") {}

    // small.vostel with `from` replaced by `to`, written to `name`.
    std::string variant(const std::string& name, const std::string& from, const std::string& to) const {
        std::string text = readText(kSmall);
        const std::size_t found = text.find(from);
        EXPECT_NE(found, std::string::npos) << from;
        if (found != std::string::npos) text.replace(found, from.size(), to);
        std::ofstream(work_ / name, std::ios::binary) << text;
        return at(name);
    }
};

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(RegistrySafety, OutputsNeverReplaceTheInputTheRegistryOrEachOther) {
    fs::copy_file(kSmall, work_ / "x.vostel");
    const std::string input = at("x.vostel");
    const std::string original = readText(input);
    fs::create_symlink(work_ / "x.vostel", work_ / "link.vostel");
    fs::create_directories(work_ / "R");
    std::ofstream(work_ / "R" / "registry.jsonl") << "";
    fs::create_directories(work_ / "adir");

    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {{"run", input, "--csv", input}, 2, "is the declaration file being run"},
        {{"run", input, "--plot", at("link.vostel")}, 2, "is the declaration file being run"},
        {{"run", input, "--json", at("./sub/../x.vostel")}, 1, "no directory"},
        {{"run", input, "--registry", at("R"), "--csv", at("R/registry.jsonl")},
         2,
         "lies inside the run registry"},
        {{"run", input, "--csv", at("t.csv"), "--json", at("t.csv")}, 2, "is the same file as --csv"},
        {{"run", input, "--csv", at("adir")}, 1, "cannot write " + at("adir") + ": it is a directory"},
    };
    for (const Case& c : cases) {
        const Finished refused = run(c.arguments);
        EXPECT_EQ(refused.status, c.status) << c.arguments[3] << ": " << refused.err;
        EXPECT_TRUE(has(refused.err, c.message)) << refused.err;
        EXPECT_EQ(refused.out, "") << "refused before anything ran";
    }
    EXPECT_EQ(readText(input), original);
    EXPECT_TRUE(fs::is_symlink(work_ / "link.vostel"));
    EXPECT_EQ(readText(work_ / "R" / "registry.jsonl"), "");
    EXPECT_FALSE(fs::exists(work_ / "t.csv"));

    // A link is written through and stays a link; a device is written into.
    std::ofstream(work_ / "real.csv") << "old";
    fs::create_symlink(work_ / "real.csv", work_ / "out.csv");
    const Finished written = run({"run", input, "--csv", at("out.csv"), "--json", "/dev/stdout"});
    ASSERT_EQ(written.status, 0) << written.err;
    EXPECT_TRUE(fs::is_symlink(work_ / "out.csv"));
    EXPECT_EQ(readText(work_ / "real.csv").rfind("stochasticity,", 0), 0u) << readText(work_ / "real.csv");
    EXPECT_EQ(written.out.rfind("Sweep:", 0), 0u) << "the report comes first";
    EXPECT_TRUE(has(written.out, "measurement into tuning.\n[")) << "the JSON follows the report";
}

TEST_F(RegistrySafety, MergeRefusesNestedRegistriesAndNeverFollowsLinksOut) {
    ASSERT_EQ(run({"run", kSmall, "--registry", at("R/sub"), "-q"}).status, 0);
    const std::string index = readText(work_ / "R" / "sub" / "registry.jsonl");
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"registry", "merge", at("R"), at("R/sub")},
          {"registry", "merge", at("R/sub/inner"), at("R/sub")},
          {"registry", "merge", at("R/sub/../sub/x"), at("R/sub")}}) {
        const Finished refused = run(arguments);
        EXPECT_EQ(refused.status, 2) << refused.err;
        EXPECT_TRUE(has(refused.err, "lies inside")) << refused.err;
    }
    EXPECT_FALSE(fs::exists(work_ / "R" / "registry.jsonl"));
    EXPECT_FALSE(fs::exists(work_ / "R" / "sub" / "inner"));

    // A run file that links out of the registry is not copied.
    std::ofstream(work_ / "secret.txt") << "not a run file";
    const fs::path events =
        work_ / "R" / "sub" / "Curve" / "stochasticity_0_25_seed_500" / "baseline" / "events.csv";
    fs::remove(events);
    fs::create_symlink(work_ / "secret.txt", events);
    const Finished merged = run({"registry", "merge", at("M"), at("R/sub")});
    ASSERT_EQ(merged.status, 0) << merged.err;
    EXPECT_EQ(readText(work_ / "M" / "registry.jsonl"), index);
    EXPECT_FALSE(
        fs::exists(work_ / "M" / "Curve" / "stochasticity_0_25_seed_500" / "baseline" / "events.csv"));
    const Finished verified = run({"registry", "verify", at("M")});
    EXPECT_EQ(verified.status, 1);
    EXPECT_TRUE(has(verified.out, ":1: Curve/stochasticity_0_25_seed_500/baseline: missing events.csv\n"))
        << verified.out;
}

// Four writers share one registry, each with its own engine version, so all
// of them store every run of the same directories at the same time: no
// index line may be lost and no run's files may be another run's.
TEST_F(RegistrySafety, ConcurrentWritersLoseNothing) {
    constexpr int kRounds = 20;
    constexpr int kWriters = 4;
    for (int round = 0; round < kRounds; ++round) {
        const std::string registry = at("C" + std::to_string(round));
        std::vector<Vostel> writers;
        for (int w = 0; w < kWriters; ++w)
            writers.emplace_back(std::vector<std::string>{"run", kSmall, "--registry", registry, "-q",
                                                          "--engine-version", "v" + std::to_string(w)},
                                 work_, "writer" + std::to_string(w));
        for (Vostel& writer : writers) ASSERT_EQ(writer.wait().status, 0) << "round " << round;
        ASSERT_EQ(lineCount(readText(fs::path(registry) / "registry.jsonl")), 9u * kWriters)
            << "round " << round;
        const Finished verified = run({"registry", "verify", registry});
        ASSERT_EQ(verified.status, 0) << "round " << round << ": " << verified.out;
    }
}

TEST_F(RegistrySafety, RunsOfAnotherIdentityKeepTheirOwnFiles) {
    // Another engine version, then the first again: every run is reused.
    ASSERT_EQ(run({"run", kSmall, "--registry", at("R"), "-q"}).status, 0);
    ASSERT_EQ(run({"run", kSmall, "--registry", at("R"), "-q", "--engine-version", "other"}).status, 0);
    EXPECT_EQ(run({"registry", "verify", at("R")}).status, 0);
    EXPECT_TRUE(has(run({"run", kSmall, "--registry", at("R")}).out,
                    "Runs:                 0 executed, 9 reused from the registry\n"));

    // A single run on another seed, and values that share a six-digit label.
    const std::string seed501 = variant("seed.vostel", "seed 500;", "seed 501;");
    const std::string close = variant("close.vostel", "[0.25, 1, 4]", "[1.0000001, 1.0000002, 4]");
    ASSERT_EQ(run({"run", kSmall, "-e", "Scramble", "--registry", at("S")}).status, 0);
    ASSERT_EQ(run({"run", seed501, "-e", "Scramble", "--registry", at("S")}).status, 0);
    ASSERT_EQ(run({"run", close, "--registry", at("S"), "-q"}).status, 0);
    const Finished verified = run({"registry", "verify", at("S")});
    EXPECT_EQ(verified.status, 0) << verified.out;
    EXPECT_TRUE(has(verified.out, "all 13 runs of")) << verified.out;
    EXPECT_TRUE(has(readText(work_ / "S" / "registry.jsonl"), "\"run_dir\":\"Scramble/control-"));
    EXPECT_TRUE(has(run({"run", close, "--registry", at("S")}).out,
                    "Runs:                 0 executed, 9 reused from the registry\n"));
}

TEST_F(RegistrySafety, DamagedRunsAreExecutedAgainAndVerifyNamesThem) {
    ASSERT_EQ(run({"run", kSmall, "--registry", at("R"), "-q"}).status, 0);
    const Finished intact = run({"registry", "verify", at("R")});
    EXPECT_EQ(intact.status, 0);
    EXPECT_EQ(intact.out, "all 9 runs of " + at("R") + " are intact\n");

    fs::remove_all(work_ / "R" / "Curve" / "stochasticity_1_seed_501");
    const Finished missing = run({"registry", "verify", at("R")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(has(missing.out, ":5: Curve/stochasticity_1_seed_501/baseline: missing metadata.json"))
        << missing.out;
    const Finished rerun = run({"run", kSmall, "--registry", at("R")});
    EXPECT_TRUE(has(rerun.out, "Runs:                 1 executed, 8 reused from the registry\n"))
        << rerun.out;
    EXPECT_TRUE(has(rerun.out,
                    "Runs executed again: 1 stored runs are listed in the registry index but their "
                    "files are missing\n"));
    EXPECT_EQ(run({"registry", "verify", at("R")}).status, 0);

    const fs::path metrics = work_ / "R" / "Curve" / "stochasticity_4_seed_500" / "baseline" / "metrics.json";
    std::string edited = readText(metrics);
    edited.replace(edited.find("firing_rate\":") + 13, 1, "9");
    std::ofstream(metrics, std::ios::binary) << edited;
    const Finished changed = run({"registry", "verify", at("R")});
    EXPECT_EQ(changed.status, 1);
    EXPECT_TRUE(has(changed.out,
                    ":7: Curve/stochasticity_4_seed_500/baseline: metrics.json does not match the "
                    "index line\n"))
        << changed.out;
}

TEST_F(RegistrySafety, AbsurdSweepsAndHugeInputsFailAtOnce) {
    const std::string seeds = variant("seeds.vostel", "seeds: 3;", "seeds: 9000000000000000000;");
    const Finished tooMany = run({"run", seeds, "--registry", at("R")});
    EXPECT_EQ(tooMany.status, 1);
    EXPECT_TRUE(has(tooMany.err, "more than the 1000000000 (point, seed) pairs a sweep may run"))
        << tooMany.err;
    EXPECT_FALSE(fs::exists(work_ / "R"));

    const std::string linspace =
        variant("linspace.vostel", "[0.25, 1, 4]", "linspace(0.1, 4, 9000000000000000000)");
    const Finished points = run({"run", linspace});
    EXPECT_EQ(points.status, 1);
    EXPECT_TRUE(has(points.err, "linspace smi mit nejvyse 1000000 bodu")) << points.err;

    const Finished zero = run({"run", "/dev/zero"});
    EXPECT_EQ(zero.status, 1);
    EXPECT_EQ(zero.err,
              "vostel: cannot read /dev/zero: larger than 8 MiB, too large for a declaration file\n");

    const std::string longText = variant("long.vostel", "\"no dependence on stochasticity\"",
                                         "\"" + std::string(3u << 20, 'x') + "\"");
    const Finished text = run({"run", longText});
    EXPECT_EQ(text.status, 1);
    EXPECT_TRUE(has(text.err, "retezec je delsi nez 65536 znaku")) << text.err.substr(0, 200);
    EXPECT_LT(text.err.size(), 300u) << "the message does not repeat the text";

    const Finished directory = run({"check", work_.string()});
    EXPECT_EQ(directory.status, 1);
    EXPECT_EQ(directory.out,
              work_.string() + ": error: cannot read " + work_.string() + ": it is a directory\n");
}

TEST_F(RegistrySafety, InvalidRunsAreExplainedCountedAndReused) {
    const Finished first = run({"run", kInvalid, "--registry", at("R")});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_TRUE(has(first.out, "Runs:                 13 executed, 0 reused from the registry\n"));
    EXPECT_TRUE(has(first.out, "\nRuns executed:        18 (13 valid, 5 outside their matched controls)\n"))
        << first.out;
    EXPECT_TRUE(has(first.out,
                    "  point               seed  branch     control      branch value  control value  "
                    "deviation  tolerance  run\n"));
    EXPECT_TRUE(has(first.out,
                    "  stochasticity=0.25  502   scrambled  firing_rate  52.5          48.1667        "
                    "0.0899654  0.02       executed\n"))
        << first.out;
    const std::string controls =
        readText(work_ / "R" / "Tight" / "stochasticity_0_25_seed_502" / "scrambled" / "controls.json");
    EXPECT_EQ(controls,
              "{\"branch\":\"scrambled\",\"valid\":false,\"controls\":[{\"statistic\":\"firing_rate\","
              "\"control_value\":48.166666666666664,\"branch_value\":52.5,\"deviation\":0.089965397923875493,"
              "\"tolerance\":0.02,\"within\":false}]}\n");

    const Finished second = run({"run", kInvalid, "--registry", at("R")});
    EXPECT_TRUE(has(second.out, "Runs:                 0 executed, 18 reused from the registry\n"));
    EXPECT_TRUE(has(second.out, "Invalid runs:         5 (0 executed, 5 reused from the registry)"));
    EXPECT_EQ(lineCount(readText(work_ / "R" / "registry.jsonl")), 18u) << "nothing is appended again";
}

TEST_F(RegistrySafety, FailuresNameTheFileTheLineAndTheCause) {
    ASSERT_EQ(run({"run", kSmall, "--registry", at("R"), "-q"}).status, 0);
    std::string index = readText(work_ / "R" / "registry.jsonl");
    index.insert(index.find('\n') + 1, "junk\n{\"config_hash\":x}\n");
    std::ofstream(work_ / "R" / "registry.jsonl", std::ios::binary) << index;

    const Finished reused = run({"run", kSmall, "--registry", at("R")});
    EXPECT_EQ(reused.status, 0);
    EXPECT_TRUE(has(reused.out, "Runs:                 0 executed, 9 reused from the registry\n"));
    const std::string file = at("R") + "/registry.jsonl";
    EXPECT_EQ(reused.err, "vostel: warning: " + file + " line 2 skipped: not a JSON object\n" +
                              "vostel: warning: " + file +
                              " line 3 skipped: \"config_hash\" is 'x', not a whole number\n");
    const Finished listed = run({"registry", "ls", at("R")});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(lineCount(listed.out), 10u);
    EXPECT_TRUE(has(listed.err, "line 2 skipped"));
    EXPECT_EQ(run({"registry", "verify", at("R")}).status, 1);

    fs::create_directories(work_ / "U" / "registry.jsonl");
    const Finished unwritable = run({"run", kSmall, "-e", "Scramble", "--registry", at("U")});
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_EQ(unwritable.err,
              "vostel: cannot write the run registry index " + at("U") + "/registry.jsonl: Is a directory\n");
}

}  // namespace
