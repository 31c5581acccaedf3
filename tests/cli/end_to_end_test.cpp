// Runs the vostel binary as its own process, as a user or a scheduler would,
// and checks its output, its files and its exit status.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/vostel_test.hpp"
#include "svg_render.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using Testing::fileTree;
using Testing::Finished;
using Testing::lineCount;
using Testing::readText;
using Testing::withoutRunsLine;
using Vostel = Testing::VostelProcess;

class Cli : public Testing::VostelTest {
  protected:
    Cli() : VostelTest("vostel-cli-") {}

    static std::string data(const std::string& name) {
        return (fs::path(VOSTEL_SOURCE_DIR) / "tests" / "data" / "cli" / name).string();
    }
    static std::size_t occurrences(const std::string& text, const std::string& part) {
        std::size_t n = 0;
        for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
        return n;
    }

    // Starts a sweep of long.vostel into `registry`, waits until it has stored
    // `stored` runs and sends `signal`; returns how the process ended.
    Finished stopHalfway(const std::string& registry, int signal, std::size_t stored) {
        Vostel sweep = start({"run", data("long.vostel"), "--registry", registry, "--jobs", "2"});
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (!sweep.ended() && lineCount(readText(fs::path(registry) / "registry.jsonl")) < stored &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        sweep.signal(signal);
        return sweep.wait();
    }
};

const std::string kS1 = std::string(VOSTEL_SOURCE_DIR) + "/Vostel/experiments/s1-stochasticity-sweep.vostel";

TEST_F(Cli, EveryCommandHasHelp) {
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{"--help"},
                                                      {"check", "--help"},
                                                      {"run", "--help"},
                                                      {"registry", "--help"},
                                                      {"registry", "ls", "--help"},
                                                      {"registry", "merge", "--help"},
                                                      {"registry", "diff", "--help"},
                                                      {"list", "--help"},
                                                      {"completion", "--help"}}) {
        const Finished help = run(arguments);
        EXPECT_EQ(help.status, 0) << arguments.front();
        EXPECT_NE(help.out.find("Usage: vostel"), std::string::npos) << help.out;
        EXPECT_EQ(help.err, "");
    }
    EXPECT_NE(run({"run", "--help"}).out.find("pair p belongs to shard (p mod N) + 1"), std::string::npos);
}

TEST_F(Cli, CheckReportsSyntaxErrorsSemanticFindingsAndWhatARunWouldMeet) {
    const Finished clean = run({"check", kS1, data("small.vostel"), data("long.vostel")});
    EXPECT_EQ(clean.status, 0);
    EXPECT_EQ(clean.out, "");

    const std::string syntax = data("syntax-error.vostel");
    // Each language message (Czech) is followed by its English explanation.
    const std::string syntaxEnglish =
        "  (en) expected the token named right after 'ocekavano'; '(u X)' shows the token found instead\n";
    EXPECT_EQ(run({"check", syntax}).out, syntax + ":6:1: ocekavano ';' (u '}')\n" + syntaxEnglish);

    const std::string semantic = data("semantic-errors.vostel");
    const std::string runner = data("runner-warnings.vostel");
    const std::string missing = data("missing.vostel");
    // Every file is checked, whatever an earlier one held.
    const Finished all = run({"check", semantic, missing, runner, syntax});
    EXPECT_EQ(all.status, 1);
    EXPECT_EQ(all.err, "");
    EXPECT_EQ(
        all.out,
        semantic + ":12: error: experiment 'Broken': 'hypothesis' musi mit tvar H<n>, ne 'Hx'\n" +
            "  (en) a hypothesis is written H followed by a number, e.g. H2\n" + semantic +
            ":12: error: experiment 'Broken': chybi 'fork at <cas>'; vetve musi forkovat z jednoho "
            "snapshotu\n" +
            "  (en) no fork time: branches fork from one snapshot, so write fork at <time>; e.g. fork at 25 "
            "ms;\n" +
            semantic +
            ":21: error: experiment 'Broken' declares unknown metric 'magic' (the metrics are "
            "state_separation, state_separability, dwell_time, transition_entropy, firing_rate, "
            "spike_count)\n" +
            semantic +
            ":12: warning: experiment 'Broken': sweep pres 2 seed(y) nedava rozdeleni; interval "
            "spolehlivosti "
            "bude nedefinovany\n" +
            "  (en) too few seeds to estimate spread (a warning): with fewer than three seeds the confidence "
            "interval is undefined or very wide; raise seeds\n" +
            missing + ": error: cannot read " + missing + ": No such file or directory\n" + runner +
            ":12: warning: experiment 'Downwards': the values of 'stochasticity' are not ascending; the "
            "sweep runner refuses to classify such a curve, and only after running every point\n" +
            runner +
            ":32: warning: experiment 'Unknown': the model has no parameter 'noise' (it has stochasticity, "
            "modulation, frequency, phase_jitter)\n" +
            syntax + ":6:1: ocekavano ';' (u '}')\n" + syntaxEnglish);

    EXPECT_EQ(run({"check", runner}).status, 0) << "warnings alone pass";
}

TEST_F(Cli, AnExperimentWithoutSweepRunsOnceAndPrintsEachBranch) {
    const Finished once =
        run({"run", data("small.vostel"), "--experiment", "Scramble", "--registry", at("reg")});
    ASSERT_EQ(once.status, 0) << once.err;
    const std::string& out = once.out;
    EXPECT_EQ(
        out.rfind("Experiment:           Scramble\nHypothesis:           H1\nSeed:                 500\n", 0),
        0u);
    EXPECT_NE(out.find("\nBranch control\n  spike count:              "), std::string::npos);
    EXPECT_NE(out.find("\nBranch scrambled\n"), std::string::npos);
    EXPECT_NE(out.find("  control:                  firing_rate "), std::string::npos);
    EXPECT_NE(out.find(", tolerance 0.5, within\n"), std::string::npos);
    EXPECT_EQ(
        lineCount(out.substr(0, out.find("Outcome"))) - lineCount(out.substr(0, out.find("Branch control"))),
        13u);
    EXPECT_NE(out.find("  metric dwell_time:        "), std::string::npos);
    EXPECT_NE(out.find("Outcome:              inconclusive\nReason:               no decision rule was "
                       "supplied to the runner\n"),
              std::string::npos);
    EXPECT_EQ(lineCount(readText(work_ / "reg" / "registry.jsonl")), 2u);
    EXPECT_EQ(run({"run", data("small.vostel"), "-e", "Scramble"}).out, out) << "runs are reproducible";
}

TEST_F(Cli, ManyJobsWriteTheSameReportExportsAndRegistryAsOne) {
    std::map<std::string, std::string> outputs[2];
    const char* const jobs[] = {"1", "4"};
    for (int k = 0; k < 2; ++k) {
        const std::string dir = at(std::string("jobs") + jobs[k]);
        fs::create_directories(dir);
        const Finished curve =
            run({"run", data("small.vostel"), "--jobs", jobs[k], "--registry", dir + "/reg", "--csv",
                 dir + "/t.csv", "--json", dir + "/t.json", "--plot", dir + "/c.svg"});
        ASSERT_EQ(curve.status, 0) << curve.err;
        EXPECT_EQ(curve.err, "") << "no progress on a pipe unless asked";
        const Finished map = run({"run", data("small.vostel"), "-e", "Map", "-j", jobs[k], "--registry",
                                  dir + "/reg", "--plot", dir + "/m.svg"});
        ASSERT_EQ(map.status, 0) << map.err;
        outputs[k] = fileTree(dir);
        outputs[k]["report"] = curve.out + map.out;
    }
    EXPECT_EQ(outputs[0].size(), 5u + 21u * 5u + 1u) << "index, exports, 21 runs of 5 files, the reports";
    EXPECT_TRUE(outputs[0] == outputs[1]);
    for (const auto& [name, content] : outputs[0]) EXPECT_EQ(content, outputs[1][name]) << name;

    const std::string& report = outputs[0]["report"];
    EXPECT_NE(report.find("Runs:                 9 executed, 0 reused from the registry\n"),
              std::string::npos);
    EXPECT_NE(report.find("\nMap of state_separation (mean over 3 seeds):\n"), std::string::npos);
    EXPECT_EQ(lineCount(outputs[0]["t.csv"]), 1u + 3u * 2u);
    EXPECT_EQ(outputs[0]["t.csv"].substr(0, outputs[0]["t.csv"].find('\n')),
              "stochasticity,branch,metric,n,mean,variance,lower,upper,invalid_runs");
    EXPECT_NE(outputs[0]["m.svg"].find("state_separation / baseline (mean over 3 seeds)"), std::string::npos);
}

TEST_F(Cli, ShardsMergedThenRunAgainReuseEveryRunAndGiveTheUnshardedReport) {
    const Finished whole = run({"run", kS1, "--registry", at("whole"), "-j", "2"});
    ASSERT_EQ(whole.status, 0) << whole.err;
    const Finished again = run({"run", kS1, "--registry", at("whole")});
    EXPECT_NE(again.out.find("Runs:                 0 executed, 36 reused from the registry\n"),
              std::string::npos);

    std::size_t stored = 0;
    for (const char* shard : {"1/3", "2/3", "3/3"}) {
        const std::string registry = at(std::string("shard-") + shard[0]);
        const Finished part = run({"run", kS1, "--shard", shard, "--registry", registry, "--quiet"});
        ASSERT_EQ(part.status, 0) << part.err;
        EXPECT_EQ(part.out, "");
        EXPECT_EQ(lineCount(readText(fs::path(registry) / "registry.jsonl")), 12u) << shard;
        stored += 12;
    }
    EXPECT_EQ(stored, 36u);
    {
        // A shard killed in the middle of an append leaves a partial last
        // line; the merge must not carry it into the middle of its index.
        std::ofstream torn(work_ / "shard-1" / "registry.jsonl", std::ios::app | std::ios::binary);
        torn << "{\"experiment\":\"StochasticitySweep\",\"branch\":\"base";
    }
    const Finished merged =
        run({"registry", "merge", at("merged"), at("shard-1"), at("shard-2"), at("shard-3")});
    ASSERT_EQ(merged.status, 0) << merged.err;
    EXPECT_EQ(merged.out, "merged 36 runs from 3 registries into " + at("merged") + "\n");

    const Finished final = run({"run", kS1, "--registry", at("merged")});
    ASSERT_EQ(final.status, 0) << final.err;
    EXPECT_EQ(final.out, again.out) << "every run reused, same numbers";
    EXPECT_EQ(withoutRunsLine(final.out), withoutRunsLine(whole.out));
    EXPECT_EQ(lineCount(readText(work_ / "merged" / "registry.jsonl")), 36u) << "nothing was run again";
}

TEST_F(Cli, AKilledSweepLosesOnlyRunsInProgressAndTheSameCommandContinues) {
    const std::string registry = at("reg");
    const Finished killed = stopHalfway(registry, SIGKILL, 30);
    ASSERT_EQ(killed.status, 128 + SIGKILL) << "the sweep ended before it could be killed";
    const std::size_t stored = lineCount(readText(fs::path(registry) / "registry.jsonl"));
    ASSERT_GE(stored, 30u);
    ASSERT_LT(stored, 400u);

    const Finished resumed = run({"run", data("long.vostel"), "--registry", registry});
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_NE(resumed.out.find("Runs:                 " + std::to_string(400 - stored) + " executed, " +
                               std::to_string(stored) + " reused from the registry\n"),
              std::string::npos)
        << resumed.out;
    const Finished fresh = run({"run", data("long.vostel")});
    EXPECT_EQ(withoutRunsLine(resumed.out), withoutRunsLine(fresh.out));
}

TEST_F(Cli, CtrlCFinishesTheRunsInProgressStoresThemAndStops) {
    const std::string registry = at("reg");
    const Finished stopped = stopHalfway(registry, SIGINT, 30);
    ASSERT_EQ(stopped.status, 130) << stopped.err;
    EXPECT_EQ(stopped.out, "");
    EXPECT_EQ(stopped.err, "vostel: interrupted; the finished runs are stored in " + registry +
                               ", and the same command continues from there\n");
    const std::size_t stored = lineCount(readText(fs::path(registry) / "registry.jsonl"));
    ASSERT_LT(stored, 400u);

    const Finished resumed = run({"run", data("long.vostel"), "--registry", registry, "--quiet"});
    EXPECT_EQ(resumed.status, 0);
    EXPECT_EQ(lineCount(readText(fs::path(registry) / "registry.jsonl")), 400u) << "nothing was stored twice";
}

TEST_F(Cli, FailuresGiveOneMessageAnExitStatusAndNoHalfWrittenFile) {
    const std::string small = data("small.vostel");
    const std::string csv = at("t.csv");
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string message;  // the whole of standard error
    };
    const std::string hint = "Run 'vostel --help' or 'vostel COMMAND --help' for usage.\n";
    const Case cases[] = {
        {{}, 2, "vostel: A subcommand is required\n" + hint},
        {{"simulate"},
         2,
         "vostel: unknown command 'simulate' (commands: check, run, list, registry, completion)\n" + hint},
        {{"run"}, 2, "vostel: FILE is required\n" + hint},
        {{"run", small, "--bogus"}, 2, "vostel: The following argument was not expected: --bogus\n" + hint},
        {{"run", small, "--jobs", "0", "--csv", csv},
         2,
         "vostel: --jobs: Value 0 not in range 1 to 1024\n" + hint},
        {{"run", small, "--shard", "4/3", "--csv", csv},
         2,
         "vostel: --shard takes K/N, shard K of N with 1 <= K <= N, not '4/3'\n"},
        {{"run", small, "--shard", "x", "--csv", csv},
         2,
         "vostel: --shard takes K/N, shard K of N with 1 <= K <= N, not 'x'\n"},
        {{"run", small, "--quiet", "--progress"}, 2, "vostel: --quiet excludes --progress\n" + hint},
        {{"run", small, "--csv", ""}, 2, "vostel: --csv: must not be empty\n" + hint},
        {{"run", small, "-e", "Scramble", "--csv", csv},
         2,
         "vostel: --shard, --csv, --json and --plot need an experiment with a sweep; experiment Scramble has "
         "none\n"},
        {{"run", data("missing.vostel"), "--csv", csv},
         1,
         "vostel: cannot read " + data("missing.vostel") + ": No such file or directory\n"},
        {{"run", small, "-e", "Nowhere", "--csv", csv},
         1,
         "vostel: unknown experiment Nowhere (" + small + " declares Curve, Map, Scramble)\n"},
        {{"run", data("runner-warnings.vostel"), "-e", "Unknown", "--csv", csv},
         1,
         "vostel: experiment Unknown sweeps 'noise', which the model does not have (it has stochasticity, "
         "modulation, frequency, phase_jitter)\n"},
        {{"run", data("runner-warnings.vostel"), "--csv", csv},
         1,
         "vostel: the values of 'stochasticity' in experiment Downwards are not ascending, so the curve "
         "could not "
         "be classified; write them in ascending order\n"},
        {{"run", data("syntax-error.vostel"), "--csv", csv},
         1,
         data("syntax-error.vostel") + ":6:1: ocekavano ';' (u '}')\n" +
             "  (en) expected the token named right after 'ocekavano'; '(u X)' shows the token found "
             "instead\n"},
        {{"run", data("semantic-errors.vostel"), "--csv", csv},
         1,
         "vostel: semantic errors in " + data("semantic-errors.vostel") + ":\n  " +
             data("semantic-errors.vostel") +
             ":12: experiment 'Broken': 'hypothesis' musi mit tvar H<n>, ne 'Hx'\n" +
             "    (en) a hypothesis is written H followed by a number, e.g. H2\n  " +
             data("semantic-errors.vostel") +
             ":12: experiment 'Broken': chybi 'fork at <cas>'; vetve musi forkovat z jednoho snapshotu\n"
             "    (en) no fork time: branches fork from one snapshot, so write fork at <time>; e.g. fork at "
             "25 "
             "ms;\n"},
        {{"run", small, "--csv", csv, "--plot", at("no/such/dir/p.svg")},
         1,
         "vostel: cannot write " + at("no/such/dir/p.svg") + ": no directory " + at("no/such/dir") + "\n"},
        {{"run", small, "--engine-version", "", "--csv", csv},
         1,
         "vostel: the runner must know its engine version\n"},
        {{"registry", "ls", at("nowhere")},
         1,
         "vostel: " + at("nowhere") + " holds no run registry (no registry.jsonl)\n"},
        {{"registry", "merge", at("out")}, 2, "vostel: IN is required\n" + hint},
        {{"registry", "merge", at("out"), at("nowhere")},
         1,
         "vostel: " + at("nowhere") + " holds no run registry (no registry.jsonl)\n"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& a : c.arguments) line += a + " ";
        const Finished failed = run(c.arguments);
        EXPECT_EQ(failed.status, c.status) << line;
        EXPECT_EQ(failed.err, c.message) << line;
        EXPECT_EQ(failed.out, "") << line;
    }
    // Nothing was written: no export, no registry, no temporary file.
    for (const fs::directory_entry& entry : fs::directory_iterator(work_))
        EXPECT_NE(entry.path().extension(), ".csv") << entry.path();
    EXPECT_FALSE(fs::exists(work_ / "out"));
}

TEST_F(Cli, RegistryListShowsEveryRunAndMergeAppendsInOrder) {
    ASSERT_EQ(run({"run", data("small.vostel"), "--registry", at("a"), "--shard", "1/2", "-q"}).status, 0);
    ASSERT_EQ(run({"run", data("small.vostel"), "--registry", at("b"), "--shard", "2/2", "-q"}).status, 0);
    ASSERT_EQ(run({"run", data("small.vostel"), "-e", "Scramble", "--registry", at("b"), "-q"}).status, 0);

    const Finished list = run({"registry", "ls", at("a")});
    EXPECT_EQ(list.status, 0);
    std::istringstream lines(list.out);
    std::vector<std::string> rows;
    for (std::string row; std::getline(lines, row);) rows.push_back(row);
    ASSERT_EQ(rows.size(), 1u + 5u) << "pairs 0, 2, 4, 6, 8 of nine";
    EXPECT_EQ(rows[0],
              "experiment  point                        branch    seed  engine_version     valid  path"
              "                                        metrics");
    EXPECT_EQ(
        rows[1].rfind("Curve       stochasticity=0.25_seed=500  baseline  500   kvrn-2.0.0-beta.2  yes    "
                      "Curve/stochasticity_0_25_seed_500/baseline  firing_rate=",
                      0),
        0u)
        << rows[1];
    EXPECT_TRUE(fs::exists(work_ / "a" / "Curve" / "stochasticity_0_25_seed_500" / "baseline" / "events.csv"))
        << "the path column names the run's directory";
    EXPECT_NE(rows[1].find(" state_separation="), std::string::npos);
    EXPECT_EQ(rows[2].substr(0, 39), "Curve       stochasticity=0.25_seed=502");
    const std::string listB = run({"registry", "ls", at("b")}).out;
    EXPECT_NE(listB.find("\nScramble    -                            scrambled  500 "), std::string::npos)
        << listB;

    // Into a registry that exists, the inputs are appended after its runs.
    ASSERT_EQ(run({"registry", "merge", at("b"), at("a")}).status, 0);
    const std::string merged = readText(work_ / "b" / "registry.jsonl");
    EXPECT_EQ(lineCount(merged), 4u + 2u + 5u);
    EXPECT_EQ(merged.substr(merged.find(readText(work_ / "a" / "registry.jsonl"))),
              readText(work_ / "a" / "registry.jsonl"));
    EXPECT_TRUE(
        fs::exists(work_ / "b" / "Curve" / "stochasticity_0_25_seed_500" / "baseline" / "events.csv"));
    const Finished reused = run({"run", data("small.vostel"), "--registry", at("b")});
    EXPECT_NE(reused.out.find("Runs:                 0 executed, 9 reused from the registry\n"),
              std::string::npos);

    const Finished self = run({"registry", "merge", at("b"), at("a"), at("b")});
    EXPECT_EQ(self.status, 2);
    EXPECT_EQ(self.err, "vostel: the merged registry " + at("b") + " must not be one of its inputs\n");
    EXPECT_EQ(readText(work_ / "b" / "registry.jsonl"), merged) << "a refused merge writes nothing";
}

TEST_F(Cli, ProgressGoesToStandardErrorOnlyWhenAsked) {
    const Finished asked = run({"run", data("small.vostel"), "--progress", "-j", "2"});
    EXPECT_EQ(asked.status, 0);
    EXPECT_EQ(asked.err.rfind("0/9 pairs, 0 reused, 00:00 elapsed\n", 0), 0u) << asked.err;
    EXPECT_NE(asked.err.find("9/9 pairs, 0 reused, "), std::string::npos) << asked.err;
    EXPECT_EQ(asked.err.back(), '\n');
    EXPECT_EQ(run({"run", data("small.vostel")}).err, "");
}

// ---- The model that runs is the model the file declares ----

// `text` with the first `from` replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at == std::string::npos) throw std::runtime_error("no '" + from + "' to replace");
    return text.replace(at, from.size(), to);
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST_F(Cli, EveryDefaultDeclaredGivesTheReferenceRegistryAndReportByteForByte) {
    const Finished declared = run({"run", data("default-model.vostel"), "--registry", at("reg")});
    ASSERT_EQ(declared.status, 0) << declared.err;
    const fs::path golden = fs::path(VOSTEL_SOURCE_DIR) / "tests" / "data" / "golden";
    EXPECT_EQ(declared.out, readText(golden / "registry-resume.report.txt"));
    const auto expected = fileTree(golden / "registry-resume");
    const auto produced = fileTree(work_ / "reg");
    EXPECT_EQ(produced.size(), expected.size());
    for (const auto& [name, content] : expected) EXPECT_EQ(produced.at(name), content) << name;
}

TEST_F(Cli, AChangedDeclarationChangesTheOutputAndTheRunIdentity) {
    const std::string original = readText(data("default-model.vostel"));
    const std::string edits[] = {
        "frequency 20 Hz;", "phase_offset 90 deg;",       "depth 0.2;",     "tau_m 10 ms;",
        "tau_a 100 ms;",    "refractory 2 ms;",           "threshold 0.5;", "base 40 Hz;",
        "gain 1.5;",        "trailing: hazard_cell[21];",
    };
    const std::string targets[] = {
        "frequency 10 Hz;", "phase_offset 180 deg;",      "depth 1.5;",   "tau_m 15 ms;",
        "tau_a 150 ms;",    "refractory 3 ms;",           "threshold 0;", "base 60 Hz;",
        "gain 2;",          "trailing: hazard_cell[20];",
    };
    const Finished reference = run({"run", data("default-model.vostel"), "--registry", at("reg")});
    ASSERT_EQ(reference.status, 0) << reference.err;
    std::set<std::string> reports = {withoutRunsLine(reference.out)};
    for (std::size_t k = 0; k < std::size(edits); ++k) {
        const std::string file = at("edit" + std::to_string(k) + ".vostel");
        writeText(file, replaced(original, targets[k], edits[k]));
        const Finished edited = run({"run", file, "--registry", at("reg")});
        ASSERT_EQ(edited.status, 0) << edits[k] << "\n" << edited.err;
        EXPECT_NE(edited.out.find("Runs:                 4 executed, 0 reused from the registry\n"),
                  std::string::npos)
            << edits[k] << ": no run of another architecture is reused";
        // The drive that tau_m governs receives no input in this model (the
        // stimulus acts through the modulation), so tau_m changes the
        // identity but not the spikes.
        if (targets[k] != "tau_m 15 ms;") {
            EXPECT_TRUE(reports.insert(withoutRunsLine(edited.out)).second)
                << edits[k] << " changes the report";
        }
    }
    EXPECT_EQ(lineCount(readText(work_ / "reg" / "registry.jsonl")), 4u * (1u + std::size(edits)));

    // An experiment without a sweep runs the declared model too.
    const std::string o1 = std::string(VOSTEL_SOURCE_DIR) + "/Vostel/experiments/o1-phase-scramble.vostel";
    writeText(at("o1-20hz.vostel"), replaced(readText(o1), "frequency 10 Hz;", "frequency 20 Hz;"));
    const Finished once = run({"run", at("o1-20hz.vostel")});
    ASSERT_EQ(once.status, 0) << once.err;
    EXPECT_NE(once.out, run({"run", o1}).out);

    // A declared quantity swept by its path runs the same model as the value
    // declared: the 20 Hz runs of both carry the same spikes.
    const std::string swept = at("swept.vostel");
    writeText(swept, replaced(replaced(original, "stochasticity: [0.25, 1];", "theta.frequency: [10, 20];"),
                              "stochastic_scale 1;", "stochastic_scale 0.25;"));
    const Finished bySweep = run({"run", swept, "--registry", at("swept")});
    ASSERT_EQ(bySweep.status, 0) << bySweep.err;
    EXPECT_NE(bySweep.out.find("Axes:                 theta.frequency\n"), std::string::npos) << bySweep.out;
    ASSERT_EQ(run({"run", at("edit0.vostel"), "--registry", at("declared")}).status, 0);
    const std::string events =
        readText(work_ / "declared" / "Resume" / "stochasticity_0_25_seed_500" / "baseline" / "events.csv");
    EXPECT_GT(lineCount(events), 1u);
    EXPECT_EQ(
        readText(work_ / "swept" / "Resume" / "theta_frequency_20_seed_500" / "baseline" / "events.csv"),
        events);
}

TEST_F(Cli, EachUnexecutableDeclarationIsRefusedByRunAndWarnedByCheckWithItsLine) {
    const std::string s1 = readText(kS1);
    const std::size_t appendedLine = lineCount(s1) + 2;
    struct Case {
        std::string declaration;  // appended after a blank line, unless it replaces `runtime "kvrn";`
        std::size_t lineOffset;   // of the refused part, from the first appended line
        std::string what;
    };
    const Case cases[] = {
        {"runtime \"nest\";", 0, "runtime \"nest\""},
        {"circuit Loop { }", 0, "circuit 'Loop'"},
        {"chemistry {\n    dopamine: float = 0.1;\n}", 0, "chemistry"},
        {"plasticity Hebb {\n    limit weight between 0 and 1;\n}", 0, "plasticity 'Hebb'"},
        {"synapse fast {\n    delay 1 ms;\n}", 0, "synapse 'fast'"},
        {"oscillator gamma {\n    frequency 40 Hz;\n}", 0,
         "oscillator 'gamma' (the engine runs one oscillator declaration)"},
        {"neuron cell {\n    tau_m 15 ms;\n    explicit_memory 4;\n}", 2, "neuron 'cell': explicit_memory"},
        {"neuron cell {\n    state { v: float = 0; }\n}", 1, "neuron 'cell': state 'v'"},
        {"neuron cell { tau_m 15 ms; }\npopulation P {\n    neurons {\n        a: cell[20];\n        b: "
         "cell[20];\n"
         "    }\n    connect a -> b;\n}",
         6, "population 'P': connect"},
        {"neuron cell { tau_m 15 ms; }\npopulation P {\n    neurons {\n        a: cell[20];\n        b: "
         "cell[20];\n"
         "    }\n    growth { prune rate: 0.1; }\n}",
         6, "population 'P': growth"},
    };
    int k = 0;
    for (const Case& c : cases) {
        const std::string file = at("refused" + std::to_string(k++) + ".vostel");
        const bool runtime = c.declaration.rfind("runtime", 0) == 0;
        writeText(file, runtime ? replaced(s1, "runtime \"kvrn\";", c.declaration)
                                : s1 + "\n" + c.declaration + "\n");
        const std::size_t line =
            runtime ? lineCount(s1.substr(0, s1.find("runtime \"kvrn\";"))) + 1 : appendedLine + c.lineOffset;
        const std::string where = file + ":" + std::to_string(line) + ": ";

        const Finished refused = run({"run", file, "--registry", at("reg")});
        EXPECT_EQ(refused.status, 1) << c.what;
        EXPECT_EQ(refused.out, "") << c.what;
        EXPECT_EQ(refused.err,
                  "vostel: " + where + c.what +
                      " is declared but not executed by the kvrn engine\nnot run: the results would "
                      "not be those of the declared model\n")
            << c.what;

        const Finished checked = run({"check", file});
        EXPECT_EQ(checked.status, 0) << c.what << "\n" << checked.out;
        EXPECT_NE(checked.out.find(where + "warning: " + c.what +
                                   " is declared but not executed by the kvrn engine\n"),
                  std::string::npos)
            << checked.out;
    }
    EXPECT_FALSE(fs::exists(work_ / "reg" / "registry.jsonl")) << "nothing ran";
}

TEST_F(Cli, SweepPathsAreCheckedBeforeRunningAndCheckExplainsTheModel) {
    const std::string file = at("paths.vostel");
    writeText(file, replaced(readText(data("default-model.vostel")), "stochasticity: [0.25, 1];",
                             "theta.frequncy: [8, 12];"));
    const Finished unknown = run({"run", file, "--registry", at("reg")});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err,
              "vostel: experiment Resume sweeps 'theta.frequncy', which the model does not have (it has "
              "stochasticity, modulation, frequency, phase_jitter, hazard_cell.hazard.base, "
              "hazard_cell.hazard.gain, "
              "hazard_cell.refractory, hazard_cell.stochastic_scale, hazard_cell.tau_a, hazard_cell.tau_m, "
              "hazard_cell.threshold, theta.frequency, theta_drive.depth)\n");
    EXPECT_FALSE(fs::exists(work_ / "reg"));

    const std::string bad = at("bad.vostel");
    writeText(bad, replaced(readText(kS1), "frequency 10 Hz;", "frequency 10;"));
    const Finished badRun = run({"run", bad});
    EXPECT_EQ(badRun.status, 1);
    EXPECT_EQ(badRun.err,
              "vostel: the model declared in " + bad +
                  " cannot be built:\n  line 18: oscillator 'theta': frequency needs the unit Hz or "
                  "kHz\n");
    EXPECT_EQ(run({"check", bad}).out,
              bad + ": error: line 18: oscillator 'theta': frequency needs the unit Hz or kHz\n");

    const Finished explained = run({"check", "--explain", kS1});
    EXPECT_EQ(explained.status, 0);
    for (const std::string& expected : std::vector<std::string>{
             "model of " + kS1 + ": oscillatory populations on the kvrn engine\n",
             "  theta.frequency          10 Hz    declared at line 18  (frequency of every oscillator)\n",
             "  theta_drive.depth        1.5      declared at line 25  (weight of each neuron's oscillator "
             "term)\n",
             "  neuron.tau_m             15 ms    default  (drive time constant)\n",
             "  sample interval: 5 ms\n",
             "architecture: oscillatory-populations n=40 g=2 f=10 jitter=0 sigma=1 modulation=1.5 "
             "baseline=60 "
             "beta=2 tauM=15000000 refractory=3000000\n"})
        EXPECT_NE(explained.out.find(expected), std::string::npos) << expected << "\n" << explained.out;
}

}  // namespace

TEST_F(Cli, VersionListAndBashCompletion) {
    const Finished version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("vostel 0.1.0 (", 0), 0u) << version.out;
    EXPECT_NE(version.out.find("kvrn-2.0.0-beta.2"), std::string::npos);

    const Finished list = run({"list", data("small.vostel")});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out,
              "Curve (hypothesis H2, line 13)\n"
              "  branches: baseline (control)\n"
              "  metrics:  state_separation, firing_rate\n"
              "  sweep:    stochasticity (3 values), 3 seeds: 9 pairs, 9 runs\n"
              "\n"
              "Map (hypothesis H3, line 34)\n"
              "  branches: baseline (control)\n"
              "  metrics:  state_separation\n"
              "  sweep:    stochasticity (2 values) x modulation (2 values), 3 seeds: 12 pairs, 12 runs\n"
              "\n"
              "Scramble (hypothesis H1, line 55)\n"
              "  branches: control (control); scrambled: phase_scramble()\n"
              "  metrics:  state_separation, dwell_time\n"
              "  sweep:    none; one run of 2 branches\n");
    const Finished broken = run({"list", data("syntax-error.vostel")});
    EXPECT_EQ(broken.status, 1);
    EXPECT_EQ(broken.err.rfind(
                  "vostel: " + data("syntax-error.vostel") + ":6:1: ocekavano ';' (u '}')\n  (en) ", 0),
              0u)
        << broken.err;

    // The completion script is valid bash, and completing the command and an
    // experiment name works in a bash that has sourced it.
    const Finished completion = run({"completion", "bash"});
    ASSERT_EQ(completion.status, 0);
    std::ofstream(work_ / "completion.bash") << completion.out;
    const std::string script = (work_ / "completion.bash").string();
    EXPECT_EQ(std::system(("bash -n " + script).c_str()), 0);
    // A plain bash, without the bash-completion package; directory names complete after --registry.
    fs::create_directories(work_ / "registry-dir");
    const std::string probe = "vostel() { '" VOSTEL_BINARY "' \"$@\"; }; source " + script +
                              "; COMP_WORDS=(vostel re); COMP_CWORD=1; _vostel; echo \"${COMPREPLY[*]}\"; "
                              "COMP_WORDS=(vostel run " +
                              data("small.vostel") +
                              " -e S); COMP_CWORD=4; _vostel; echo \"${COMPREPLY[*]}\"; "
                              "COMP_WORDS=(vostel run x.vostel --registry " +
                              at("registry-d") + "); COMP_CWORD=4; _vostel; echo \"${COMPREPLY[*]}\"";
    std::ofstream(work_ / "probe.bash") << probe;
    ASSERT_EQ(
        std::system(
            ("bash " + (work_ / "probe.bash").string() + " > " + (work_ / "probe.out").string()).c_str()),
        0);
    EXPECT_EQ(readText(work_ / "probe.out"), "registry\nScramble\n" + at("registry-dir") + "\n");
    EXPECT_EQ(run({"completion", "zsh"}).status, 2);
}

TEST_F(Cli, RegistryLsFiltersAndPrintsJsonAndDiffComparesTwoRegistries) {
    ASSERT_EQ(run({"run", data("small.vostel"), "--registry", at("all"), "-q"}).status, 0);
    ASSERT_EQ(run({"run", data("small.vostel"), "-e", "Scramble", "--registry", at("all"), "-q"}).status, 0);
    ASSERT_EQ(run({"run", data("small.vostel"), "--registry", at("half"), "--shard", "1/2", "-q"}).status, 0);

    const Finished scrambled =
        run({"registry", "ls", at("all"), "--experiment", "Scramble", "--branch", "scrambled"});
    EXPECT_EQ(scrambled.status, 0);
    EXPECT_EQ(lineCount(scrambled.out), 2u) << scrambled.out;
    EXPECT_NE(scrambled.out.find("  Scramble/scrambled  "), std::string::npos) << "the run's directory";
    EXPECT_EQ(lineCount(run({"registry", "ls", at("all"), "-e", "Nope"}).out), 1u) << "the header alone";

    const Finished json = run({"registry", "ls", at("all"), "--json", "-e", "Curve"});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(
        json.out.rfind("[\n  {\"experiment\": \"Curve\", \"point\": \"stochasticity=0.25_seed=500\", "
                       "\"branch\": \"baseline\", \"seed\": 500, \"engine_version\": \"kvrn-2.0.0-beta.2\", "
                       "\"valid\": true, \"path\": \"Curve/stochasticity_0_25_seed_500/baseline\", "
                       "\"metrics\": {\"firing_rate\": ",
                       0),
        0u)
        << json.out;
    std::size_t records = 0;
    for (std::size_t at = json.out.find("{\"experiment\""); at != std::string::npos;
         at = json.out.find("{\"experiment\"", at + 1))
        ++records;
    EXPECT_EQ(records, 9u);
    EXPECT_EQ(json.out.substr(json.out.size() - 5), "}}\n]\n");

    // The same runs: no difference.
    const Finished same = run({"registry", "diff", at("all"), at("all")});
    EXPECT_EQ(same.status, 0);
    EXPECT_EQ(same.out, "no difference: 11 runs in both\n");

    // A shard holds pairs 0, 2, 4, 6, 8 of the curve and nothing else; one of
    // its stored metrics is changed by hand.
    fs::path index = work_ / "half" / "registry.jsonl";
    std::string text = readText(index);
    const std::size_t rate = text.find("\"firing_rate\":") + 14;
    text.replace(rate, text.find('}', rate) - rate, "1");
    std::ofstream(index, std::ios::binary | std::ios::trunc) << text;
    const Finished diff = run({"registry", "diff", at("all"), at("half")});
    EXPECT_EQ(diff.status, 1);
    EXPECT_EQ(occurrences(diff.out, "only in " + at("all") + ": "), 4u + 2u) << diff.out;
    EXPECT_NE(
        diff.out.find("only in " + at("all") + ": Curve  stochasticity=0.25_seed=501  baseline  seed 501  "),
        std::string::npos);
    EXPECT_NE(
        diff.out.find("differs: Curve  stochasticity=0.25_seed=500  baseline  seed 500  kvrn-2.0.0-beta.2: "
                      "firing_rate "),
        std::string::npos)
        << diff.out;
    EXPECT_NE(diff.out.find(" / 1;\n"), std::string::npos);
    EXPECT_EQ(occurrences(diff.out, "only in " + at("half")), 0u);
    EXPECT_EQ(diff.out.substr(diff.out.rfind("\n", diff.out.size() - 2) + 1),
              "7 differences (" + at("all") + " / " + at("half") + ")\n");
}

TEST_F(Cli, ASweepWithAnInterventionBranchReportsPairedContrastsEverywhere) {
    const std::string file = data("contrast.vostel");
    const Finished first = run({"run", file, "--registry", at("reg"), "--csv", at("t.csv"), "--json",
                                at("t.json"), "--plot", at("t.svg"), "--jobs", "2"});
    ASSERT_EQ(first.status, 0) << first.err;
    // Below the report, which ends as before, come the contrasts.
    const std::size_t closing = first.out.find("would turn measurement into tuning.\n");
    ASSERT_NE(closing, std::string::npos);
    const std::string contrasts = first.out.substr(closing + 36);
    EXPECT_EQ(
        contrasts.rfind("\nPaired contrasts: each branch minus the control on the same seed and point", 0),
        0u)
        << contrasts;
    EXPECT_NE(contrasts.find("\nContrast jittered - control / state_separation:\n  stochasticity=0.25  mean "
                             "difference="),
              std::string::npos);
    EXPECT_EQ(occurrences(contrasts, "  n=3\n"), 6u) << "three points, two metrics, three seeds each";

    const std::string csv = readText(work_ / "t.contrast.csv");
    EXPECT_EQ(csv.substr(0, csv.find('\n')),
              "stochasticity,branch,control,metric,n,mean_difference,variance,lower,upper");
    EXPECT_EQ(lineCount(csv), 1u + 6u);
    EXPECT_EQ(occurrences(readText(work_ / "t.contrast.json"), "\"mean_difference\""), 6u);
    const std::string table = readText(work_ / "t.csv");
    EXPECT_EQ(table.substr(0, table.find('\n')),
              "stochasticity,branch,metric,n,mean,variance,lower,upper,invalid_runs")
        << "the sweep table keeps its columns";
    const std::string svg = readText(work_ / "t.svg");
    EXPECT_NE(svg.find(">difference in state_separation from control over stochasticity</text>"),
              std::string::npos);
    Testing::expectRendersToPng(svg, work_ / "t");

    // Reused runs give the same contrasts, and the same tables.
    const std::string before = readText(work_ / "t.contrast.json");
    const Finished again = run({"run", file, "--registry", at("reg"), "--json", at("t.json")});
    EXPECT_NE(again.out.find("0 executed, 18 reused"), std::string::npos);
    EXPECT_EQ(withoutRunsLine(again.out), withoutRunsLine(first.out));
    EXPECT_EQ(readText(work_ / "t.contrast.json"), before);

    // A shard's report says that it covers only part of the sweep.
    const Finished shard = run({"run", file, "--shard", "2/3", "--jobs", "1"});
    EXPECT_EQ(shard.status, 0);
    EXPECT_NE(shard.out.find("\nThis report is partial: it covers shard 2 of 3 only."), std::string::npos)
        << shard.out;
    EXPECT_EQ(first.out.find("This report is partial"), std::string::npos);
}

TEST_F(Cli, CheckRejectsWhatARunWouldRefuse) {
    const std::string file = data("not-runnable.vostel");
    const Finished check = run({"check", file});
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out,
              file +
                  ":25: error: experiment 'Refused' declares unknown metric 'sharpness' (the metrics are "
                  "state_separation, state_separability, dwell_time, transition_entropy, firing_rate, "
                  "spike_count)\n" +
                  file +
                  ":12: error: experiment 'Refused', branch 'shuffled': phase_shuffle(): this model does not "
                  "implement phase_shuffle (the model implements phase_scramble, phase_jitter, ablate, "
                  "scale_drive)\n" +
                  file +
                  ":12: error: experiment 'Refused', branch 'neurons': ablate(neurons): this model can only "
                  "ablate oscillators\n" +
                  file +
                  ":12: error: experiment 'Refused', branch 'scaled': scale_drive(): scale_drive needs a "
                  "factor\n");
    // And run does refuse it.
    EXPECT_EQ(run({"run", file}).status, 1);
}

TEST_F(Cli, TheCommittedPlotsAreWhatTheToolDrawsAndRender) {
    const fs::path docs = fs::path(VOSTEL_SOURCE_DIR) / "docs";
    const std::pair<std::string, std::string> plots[] = {
        {kS1, "s1-stochasticity-sweep"},
        {std::string(VOSTEL_SOURCE_DIR) + "/examples/jitter-map.vostel", "jitter-map"},
        {std::string(VOSTEL_SOURCE_DIR) + "/Vostel/experiments/s2-three-populations.vostel",
         "s2-three-populations"}};
    for (const auto& [file, name] : plots) {
        ASSERT_EQ(run({"run", file, "--plot", at(name + ".svg"), "-q"}).status, 0) << file;
        EXPECT_EQ(readText(work_ / (name + ".svg")), readText(docs / (name + ".svg")))
            << "docs/" << name << ".svg is out of date: run the tool again as this test does";
        Testing::expectRendersToPng(readText(docs / (name + ".svg")), work_ / name);
    }
}
