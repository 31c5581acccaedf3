#include "language/loader.hpp"
#include "experiment/metrics.hpp"
#include "front_end.hpp"
#include "language/semantic_analyzer.hpp"
#include "support/expect_throws.hpp"
#include "support/golden.hpp"

#include <filesystem>
#include <fstream>

using namespace Core::Vostel;
using Core::Kvrn::ControlStatistic;
using Core::Kvrn::InvalidExperiment;
using Core::Kvrn::InvalidSweep;

namespace {

const std::string kStimulus = "stimulus S { a from 0 ms to 50 ms; blank from 50 ms to 100 ms; }\n";

// An experiment named `name` with a control and one intervention branch.
std::string experiment(const std::string& name, const std::string& extra = "") {
    return "experiment " + name +
           " {\n"
           "    hypothesis: H3; theory: \"phase v1\"; stimulus: S; fork at 25 ms;\n"
           "    branches { control { } scrambled { phase_scramble(); } }\n"
           "    metrics { state_separation; firing_rate; }\n"
           "    prediction: \"p\"; null: \"n\"; falsification: \"f\";\n" +
           extra + "}\n";
}

// Writes declaration files into a fresh directory below the temporary one.
class LoaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ =
            std::filesystem::temp_directory_path() /
            ("vostel-loader-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(directory_);
        std::filesystem::create_directories(directory_);
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }

    std::string write(const std::string& content, const std::string& name = "model.vostel") {
        const std::string path = (directory_ / name).string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    std::filesystem::path directory_;
};

std::string repositoryFile(const std::string& relative) {
    return std::string(VOSTEL_TEST_DATA) + "/../../" + relative;
}

}  // namespace

TEST_F(LoaderTest, FailuresOfReadingParsingAndAnalysis) {
    const std::string missing = (directory_ / "absent.vostel").string();
    EXPECT_THROW_MSG(loadExperiment(missing, ""), InvalidExperiment,
                     "cannot read " + missing + ": No such file or directory");

    // Front-end errors pass through unchanged, not wrapped.
    EXPECT_THROW_MSG(
        loadExperiment(write("seed 1;\nexperiment E { bogus; }"), ""), VostelError,
        "neznama vlastnost experiment (hypothesis|theory|seed|stimulus|fork at|trials|sweep|branches|"
        "controls|metrics|prediction|null|falsification) (u 'bogus')");
    EXPECT_THROW_MSG(loadExperiment(write("seed 99999999999999999999;"), ""), std::out_of_range,
                     "stoll argument out of range");

    // Every error, in the order of the passes, not of the file.
    const std::string path =
        write("seed 1;\n" + kStimulus + experiment("E", "hypothesis: h1;") + "neuron N { }\nneuron N { }\n");
    EXPECT_THROW_MSG(
        loadExperiment(path, "E"), InvalidExperiment,
        "semantic errors in " + path +
            ":\n  duplicitni neuron 'N'\n  experiment 'E': 'hypothesis' musi mit tvar H<n>, ne 'h1'");

    EXPECT_THROW_MSG(loadExperiment(write("seed 1;\n" + kStimulus), ""), InvalidExperiment,
                     "the model declares no experiment");
}

TEST_F(LoaderTest, SelectionWarningsAndSeeds) {
    // An unused stimulus and a two-seed sweep only warn.
    const std::string path = write("seed 7;\r\n" + kStimulus + "stimulus Spare { x from 0 ms to 1 ms; }\n" +
                                   experiment("First") + experiment("Second", "seed: 99;") +
                                   experiment("Third", "sweep { stochasticity: [1, 2]; seeds: 2; }"));
    const Model model = parseModelFile(path);
    EXPECT_EQ(SemanticAnalyzer(model, RuntimeKind::Kvrn).analyze().warnings.size(), 2u);

    EXPECT_EQ(&selectExperiment(model, ""), &model.experiments[0]);
    EXPECT_EQ(&selectExperiment(model, "Second"), &model.experiments[1]);
    EXPECT_THROW_MSG(selectExperiment(model, "Fourth"), InvalidExperiment, "unknown experiment Fourth");

    const LoadedExperiment first = loadExperiment(path, "");
    EXPECT_EQ(first.spec.name, "First");
    EXPECT_EQ(first.spec.seed, 7u);  // the file's global seed
    EXPECT_FALSE(first.sweep);
    EXPECT_FALSE(first.spec.swept);
    EXPECT_EQ(loadExperiment(path, "Second").spec.seed, 99u);
    EXPECT_TRUE(loadExperiment(path, "Third").sweep);
}

TEST_F(LoaderTest, LowersEveryFieldInOrder) {
    const std::string path = write(
        "seed 1;\n" + kStimulus +
        experiment(
            "E",
            "trials: 3;\n"
            "branches { jittered { phase_jitter(exc, inh, 0.5); } cut { ablate(oscillators,); } }\n"
            "controls { match spike_count tolerance 10 percent; match isi_variance tolerance 100 percent; }\n"
            "metrics { dwell_time; }\n"));
    const Core::Kvrn::ExperimentSpec spec = loadExperiment(path, "").spec;
    EXPECT_EQ(
        std::tie(spec.hypothesis, spec.theory_version, spec.snapshot_at_ns, spec.trials, spec.stimulus.name),
        std::tuple("H3", "phase v1", 25000000, 3u, "S"));
    ASSERT_EQ(spec.stimulus.segments.size(), 2u);
    const Core::Kvrn::StimulusSegment& blank = spec.stimulus.segments[1];
    EXPECT_EQ(std::tie(blank.name, blank.start_ns, blank.end_ns), std::tuple("blank", 50000000, 100000000));

    ASSERT_EQ(spec.branches.size(), 4u);
    EXPECT_EQ(spec.branches[0].name, "control");
    EXPECT_TRUE(spec.branches[0].interventions.empty());
    const Core::Kvrn::Intervention& jitter = spec.branches[2].interventions.at(0);
    EXPECT_EQ(std::tie(jitter.kind, jitter.targets, jitter.parameter),
              std::tuple("phase_jitter", std::vector<std::string>{"exc", "inh"}, 0.5));
    const Core::Kvrn::Intervention& ablate = spec.branches[3].interventions.at(0);
    EXPECT_EQ(ablate.targets, std::vector<std::string>{"oscillators"});
    EXPECT_FALSE(ablate.parameter);

    // Percent tolerances become fractions.
    ASSERT_EQ(spec.controls.size(), 2u);
    EXPECT_EQ(std::tie(spec.controls[0].statistic, spec.controls[0].tolerance),
              std::tuple(ControlStatistic::SpikeCount, 0.1));
    EXPECT_EQ(std::tie(spec.controls[1].statistic, spec.controls[1].tolerance),
              std::tuple(ControlStatistic::IsiVariance, 1.0));
    EXPECT_EQ(spec.metrics, (std::vector<std::string>{"state_separation", "firing_rate", "dwell_time"}));
    EXPECT_EQ(std::tie(spec.prediction, spec.null, spec.falsification), std::tuple("p", "n", "f"));
}

TEST_F(LoaderTest, SweepValuesKeepOrderAndUnits) {
    const std::string path = write(
        "seed 1;\n" + kStimulus +
        experiment("E", "sweep { latency: [10 ms, 20 ms, 1.5 us]; stochasticity: [4, 0.25, 1]; seeds: 5; }"));
    const LoadedExperiment loaded = loadExperiment(path, "");
    EXPECT_TRUE(loaded.spec.swept);
    ASSERT_TRUE(loaded.sweep);
    ASSERT_EQ(loaded.sweep->axes.size(), 2u);
    EXPECT_EQ(loaded.sweep->axes[0].name, "latency");
    EXPECT_EQ(loaded.sweep->axes[0].values, (std::vector<double>{10000000, 20000000, 1500}));
    EXPECT_EQ(loaded.sweep->axes[1].values, (std::vector<double>{4, 0.25, 1}));
    EXPECT_EQ(loaded.sweep->seeds, 5u);
}

// The lowering checks on its own what the analysis normally reports first.
TEST(Lowering, RefusesWhatTheAnalysisWouldHaveReported) {
    Model model = Testing::parse(kStimulus + experiment("E"));
    const ExperimentDecl& e = model.experiments[0];
    EXPECT_THROW_MSG(lowerExperiment(model, e), InvalidExperiment, "experiment E declares no seed");
    model.seed = 4;
    EXPECT_EQ(lowerExperiment(model, e).seed, 4u);

    ExperimentDecl changed = e;
    changed.stimulus = "Other";
    EXPECT_THROW_MSG(lowerExperiment(model, changed), InvalidExperiment,
                     "experiment references unknown stimulus Other");
    changed = e;
    changed.controls = {{"power", 0.5}};
    EXPECT_THROW_MSG(lowerExperiment(model, changed), InvalidExperiment, "unknown matched statistic power");
    changed = e;
    changed.forkAt = 100000000;
    EXPECT_THROW_MSG(lowerExperiment(model, changed), InvalidExperiment,
                     "experiment E must fork inside its own stimulus");

    EXPECT_EQ(matchedStatistic("firing_rate"), ControlStatistic::FiringRate);
    EXPECT_THROW_MSG(lowerSweep(SweepDecl{{{"g", {1.0}}}, 3}), InvalidSweep,
                     "sweep axis g needs at least two values; one value is not a sweep");
    EXPECT_THROW_MSG(lowerSweep(SweepDecl{{{"g", {1.0, 2.0}}}, -2}), InvalidSweep,
                     "a sweep needs at least one seed");
}

// The two declaration files of the acceptance program load without a warning
// and declare only known metrics; the shape the acceptance checks need of
// them (sweep or none, axis, seeds, branches) is checked when the program runs.
TEST(DeclarationFiles, LoadWithoutWarnings) {
    const Core::Kvrn::MetricRegistry metrics;
    for (const char* name : {"o1-phase-scramble.vostel", "s1-stochasticity-sweep.vostel"}) {
        const std::string path = repositoryFile(std::string("Vostel/experiments/") + name);
        const AnalysisResult analysis = SemanticAnalyzer(parseModelFile(path), RuntimeKind::Kvrn).analyze();
        EXPECT_TRUE(analysis.errors.empty() && analysis.warnings.empty()) << name;
        for (const std::string& metric : loadExperiment(path, "").spec.metrics)
            EXPECT_TRUE(metrics.hasMetric(metric)) << name << ": " << metric;
    }
}
