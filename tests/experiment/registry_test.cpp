#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/convert.hpp"
#include "common/format.hpp"
#include "experiment/run_registry.hpp"
#include "support/expect_throws.hpp"
#include "support/golden.hpp"

namespace Core::Kvrn {
namespace {

namespace fs = std::filesystem;

// A fresh directory per test below the system temporary directory.
class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = fs::temp_directory_path() / (std::string("vostel-registry-test-") + info->name());
        fs::remove_all(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    void writeIndex(const std::string& text) const {
        fs::create_directories(root_);
        std::ofstream(root_ / "registry.jsonl", std::ios::binary) << text;
    }
    std::string index() const { return Testing::readFile((root_ / "registry.jsonl").string()); }

    fs::path root_;
};

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> splitFields(const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, ',');) fields.push_back(field);
    return fields;
}

// The identity fields of an entry as one text, for whole-entry comparisons.
std::string identity(const RegistryEntry& e) {
    std::ostringstream out;
    out << e.experiment << '|' << e.branch << '|' << e.point << '|' << e.point_hash << '|' << e.hypothesis
        << '|' << e.theory_version << '|' << e.engine_version << '|' << e.metrics_version << '|'
        << e.config_hash << '|' << e.architecture_hash << '|' << e.seed << '|' << e.trials << '|'
        << e.duration_ns << '|' << e.valid << '|' << e.parameters.size();
    return out.str();
}

// The runs of the stored reference registry: one result per point and seed,
// each with the single branch "baseline".
struct GoldenRun {
    const char* directory;
    const char* point;
    std::uint64_t point_hash, config_hash, architecture_hash, seed;
    const char* sweepValue;
    double separation, rate;
};
const GoldenRun kGoldenRuns[] = {
    {"stochasticity_0_25_seed_500", "stochasticity=0.25_seed=500", 16112821946394404227ULL,
     5480656576813087280ULL, 8511715517530882285ULL, 500, "0.25", 1.0853923266343783, 49.333333333333336},
    {"stochasticity_0_25_seed_501", "stochasticity=0.25_seed=501", 16112821946394404227ULL,
     5480656576813087280ULL, 8511715517530882285ULL, 501, "0.25", 1.1260932347809884, 49.333333333333336},
    {"stochasticity_1_seed_500", "stochasticity=1_seed=500", 16603562927773591901ULL, 1344837646844701451ULL,
     10158463793610102059ULL, 500, "1", 1.0325439344605718, 82.833333333333329},
    {"stochasticity_1_seed_501", "stochasticity=1_seed=501", 16603562927773591901ULL, 1344837646844701451ULL,
     10158463793610102059ULL, 501, "1", 1.0288897621931401, 82.833333333333329},
};

ExperimentResult goldenResult(const GoldenRun& golden, const std::string& directory) {
    RunRecord run;
    run.experiment = "Resume";
    run.branch = "baseline";
    run.point = golden.point;
    run.point_hash = golden.point_hash;
    run.hypothesis = "H2";
    run.theory_version = "KVRN 1.0.0";
    run.engine_version = "kvrn-2.0.0-beta.2";
    run.metrics_version =
        "state_separation=v1(kmeans,k=2,raw-centroid-distance);firing_rate=v1(mean-per-neuron)";
    run.config_hash = golden.config_hash;
    run.architecture_hash = golden.architecture_hash;
    run.seed = golden.seed;
    run.trials = 1;
    run.duration_ns = 150000000;
    run.parameters = {{"stimulus", "A_blank"},
                      {"snapshot_at_ns", "25000000"},
                      {"interventions", ""},
                      {"sweep.stochasticity", golden.sweepValue}};
    run.metrics = {{"state_separation", golden.separation}, {"firing_rate", golden.rate}};
    run.synapse_log = "edge,time_ns,old,new,rule\n";

    // Spikes and states come from the reference run's own files.
    const auto events = splitLines(Testing::readFile(directory + "/events.csv"));
    for (std::size_t i = 1; i < events.size(); ++i) {
        const auto f = splitFields(events[i]);
        SpikeRecord spike;
        spike.time_ns = toSigned64(f.at(0));
        spike.neuron = toUnsigned64(f.at(1));
        spike.group = static_cast<std::uint32_t>(toUnsigned64(f.at(2)));
        if (f.at(3) != "spontaneous") spike.cause = toUnsigned64(f.at(3));
        run.spikes.push_back(spike);
    }
    const auto states = splitLines(Testing::readFile(directory + "/states.csv"));
    run.trajectory.dimensionNames = {"share0", "share1"};
    for (std::size_t i = 1; i < states.size(); ++i) {
        const auto f = splitFields(states[i]);
        run.trajectory.times.push_back(toSigned64(f.at(1)));
        run.trajectory.states.push_back({toDouble(f.at(2)), toDouble(f.at(3))});
    }

    ExperimentResult result;
    result.experiment = "Resume";
    result.hypothesis = "H2";
    result.metrics = {"state_separation", "firing_rate"};
    result.runs = {run};
    return result;
}

TEST_F(RegistryTest, ReproducesTheReferenceRegistryByteForByte) {
    const RunRegistry registry(root_);
    const std::string reference = Testing::dataPath("golden/registry-resume");
    const char* const files[] = {"metadata.json", "events.csv", "states.csv", "synapses.csv", "metrics.json"};
    for (const GoldenRun& golden : kGoldenRuns) {
        const std::string runDirectory = reference + "/Resume/" + golden.directory + "/baseline";
        const std::vector<fs::path> written = registry.write(goldenResult(golden, runDirectory));
        ASSERT_EQ(written.size(), 5u);
        for (std::size_t i = 0; i < 5; ++i) {
            const fs::path expected = root_ / "Resume" / golden.directory / "baseline" / files[i];
            EXPECT_EQ(written[i], expected);
            EXPECT_EQ(Testing::readFile(expected.string()), Testing::readFile(runDirectory + "/" + files[i]))
                << expected;
        }
    }
    EXPECT_EQ(index(), Testing::readFile(reference + "/registry.jsonl"));
}

// Two runs with every escape, a caused and a spontaneous spike, an empty
// point, an undeclared metric and a run that failed its controls.
ExperimentResult handBuiltResult() {
    RunRecord run;
    run.experiment = "Exp \"q\"";
    run.branch = "with space/slash";
    run.hypothesis = "H\t1\\\n";
    run.theory_version = "T\r";
    run.engine_version = "e";
    run.metrics_version = "m2=v;m1=v";
    run.config_hash = 18446744073709551615ULL;
    run.architecture_hash = 1;
    run.seed = 2;
    run.trials = 3;
    run.duration_ns = -4;
    run.parameters = {{"b", "x\"y"}, {"a", ""}};
    run.metrics = {{"m2", 0.1}, {"m1", 2.5}, {"undeclared", 9.0}};
    SpikeRecord caused;
    caused.time_ns = 1500;
    caused.neuron = 3;
    caused.group = 1;
    caused.cause = 7;
    SpikeRecord spontaneous;
    spontaneous.time_ns = 2000;
    run.spikes = {caused, spontaneous};
    run.trajectory = {{0, 5}, {{0.5, 1.0 / 3}, {1, 0}}, {"x"}};
    run.synapse_log = "edge\n1,2";

    RunRecord invalid = run;
    invalid.branch = "b";
    invalid.valid = false;
    invalid.metrics.clear();
    invalid.spikes.clear();

    ExperimentResult result;
    result.experiment = run.experiment;
    result.metrics = {"m2", "m1"};
    result.runs = {run, invalid};
    result.outcome = Outcome::Weakened;
    return result;
}

TEST_F(RegistryTest, WritesEveryFileOfAHandBuiltResult) {
    const RunRegistry registry(root_ / "nested" / "root");
    const auto written = registry.write(handBuiltResult());
    ASSERT_EQ(written.size(), 11u);  // five files per run, and the checks of the invalid one
    const fs::path run = root_ / "nested" / "root" / "Exp__q_" / "with_space_slash";  // no point level
    const fs::path invalid = root_ / "nested" / "root" / "Exp__q_" / "b";
    EXPECT_EQ(written[0], run / "metadata.json");
    EXPECT_EQ(written[9], invalid / "metrics.json");
    EXPECT_EQ(written[10], invalid / "controls.json");
    auto read = [](const fs::path& path) { return Testing::readFile(path.string()); };

    const std::string metadata =
        R"({"experiment":"Exp \"q\"","branch":"with space/slash","point":"","point_hash":0,)"
        R"("hypothesis":"H\t1\\\n","theory_version":"T\r","engine_version":"e","metrics_version":"m2=v;m1=v",)"
        R"("config_hash":18446744073709551615,"architecture_hash":1,"seed":2,"trials":3,"duration_ns":-4,)"
        R"("valid":true,"parameters":{"a":"","b":"x\"y"}})";
    EXPECT_EQ(metadataLine(handBuiltResult().runs[0]), metadata);
    EXPECT_EQ(read(run / "metadata.json"), metadata + "\n");
    EXPECT_EQ(read(run / "events.csv"), "time_ns,neuron,group,cause\n1500,3,1,7\n2000,0,0,spontaneous\n");
    EXPECT_EQ(read(run / "states.csv"),
              "engine_version,timestamp,x,state_1\n2,0,0.5,0.33333333333333331\n2,5,1,0\n");
    EXPECT_EQ(read(run / "synapses.csv"), "edge\n1,2");
    EXPECT_EQ(read(run / "metrics.json"), R"({"branch":"with space/slash","valid":true,"status":"weakened",)"
                                          R"("metrics":{"m2":0.10000000000000001,"m1":2.5}})"
                                          "\n");
    EXPECT_EQ(read(invalid / "events.csv"), "time_ns,neuron,group,cause\n");
    EXPECT_EQ(read(invalid / "metrics.json"),
              R"({"branch":"b","valid":false,"status":"weakened","metrics":{}})"
              "\n");

    const auto lines = splitLines(Testing::readFile((root_ / "nested" / "root" / "registry.jsonl").string()));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              metadata.substr(0, metadata.size() - 1) + R"(,"metrics":{"m2":0.10000000000000001,"m1":2.5}})");
    EXPECT_NE(lines[1].find(R"("branch":"b",)"), std::string::npos);
    EXPECT_NE(lines[1].find(R"("valid":false,)"), std::string::npos);
    EXPECT_EQ(lines[1].substr(lines[1].size() - 15), R"(},"metrics":{}})");
}

TEST_F(RegistryTest, ReadsBackWhatItWrote) {
    const RunRegistry registry(root_);
    EXPECT_TRUE(registry.readIndex().empty());  // no root yet
    EXPECT_TRUE(registry.loadEntries().empty());

    ExperimentResult result = handBuiltResult();
    result.metrics = {"m2", "m1", "third", "tiny"};
    result.runs[0].metrics["third"] = 1.0 / 3;
    result.runs[0].metrics["tiny"] = -2.5e-300;
    result.runs[0].point = "p=1";
    result.runs[0].point_hash = 12345678901234567890ULL;
    registry.write(result);
    registry.write(result);

    const auto entries = registry.loadEntries();
    ASSERT_EQ(entries.size(), 4u);
    // String escapes are undone; parameters are never read back.
    EXPECT_EQ(identity(entries[0]),
              "Exp \"q\"|with space/slash|p=1|12345678901234567890|H\t1\\\n|T\r|e|m2=v;m1=v|"
              "18446744073709551615|1|2|3|-4|1|0");
    const std::map<std::string, double> metrics = {
        {"m1", 2.5}, {"m2", 0.1}, {"third", 1.0 / 3}, {"tiny", -2.5e-300}};
    EXPECT_EQ(entries[0].metrics, metrics);  // exact: 17 digits read back to the same doubles
    EXPECT_FALSE(entries[1].valid);
    EXPECT_TRUE(entries[1].metrics.empty());
    EXPECT_EQ(identity(entries[2]), identity(entries[0]));
    EXPECT_EQ(entries[2].metrics, metrics);

    const auto index = registry.readIndex();
    ASSERT_EQ(index.size(), 4u);
    EXPECT_TRUE(index[0].metrics.empty());

    // Writing again overwrote the run directories: 2 runs x 5 files, the
    // invalid run's checks and the index.
    std::size_t files = 0;
    for (const auto& item : fs::recursive_directory_iterator(root_)) files += item.is_regular_file();
    EXPECT_EQ(files, 12u);
}

// Every entry below the root, directories included, "/"-separated.
std::vector<std::string> treeNames(const fs::path& root) {
    std::vector<std::string> names;
    for (const auto& item : fs::recursive_directory_iterator(root))
        names.push_back(fs::relative(item.path(), root).generic_string());
    std::sort(names.begin(), names.end());
    return names;
}

std::size_t regularFiles(const fs::path& root) {
    std::size_t files = 0;
    for (const auto& item : fs::recursive_directory_iterator(root)) files += item.is_regular_file();
    return files;
}

TEST_F(RegistryTest, StagedRunsAppearOnlyWhenCommittedAndAbandonedStagingIsCleared) {
    const fs::path reference = root_.string() + "-reference";
    fs::remove_all(reference);
    for (int write = 0; write < 3; ++write) RunRegistry(reference).write(handBuiltResult());
    {
        const RunRegistry registry(root_);
        // Staged and dropped: no file stays.
        registry.stage(handBuiltResult());
        EXPECT_EQ(regularFiles(root_), 0u);

        // Two staged at once and committed in order: the same files and
        // index as two plain writes.
        StagedWrite first = registry.stage(handBuiltResult());
        StagedWrite second = registry.stage(handBuiltResult());
        EXPECT_EQ(first.size(), 2u);
        registry.commit(std::move(first));
        registry.commit(std::move(second));

        // A scratch directory nobody holds is what a killed writer left; a
        // live staging's stays until its commit.
        fs::create_directories(root_ / ".incoming-killed" / "0");
        std::ofstream(root_ / ".incoming-killed" / "0" / "events.csv") << "partial";
        StagedWrite live = registry.stage(handBuiltResult());
        registry.removeAbandonedScratch();
        EXPECT_FALSE(fs::exists(root_ / ".incoming-killed"));
        // The live runs: 5 and 6 files (the index, 11 run files and this).
        EXPECT_EQ(regularFiles(root_), 12u + 11u);
        registry.commit(std::move(live));
    }
    // The staging area goes with the registry object.
    EXPECT_EQ(treeNames(root_), treeNames(reference));
    for (const std::string& name : treeNames(root_)) {
        if (!fs::is_regular_file(root_ / name)) continue;
        EXPECT_EQ(Testing::readFile((root_ / name).string()), Testing::readFile((reference / name).string()))
            << name;
    }
    fs::remove_all(reference);
}

// The whole of an entry as read back: identity, place and metrics.
std::string entryText(const RegistryEntry& e) {
    std::string text = identity(e) + "|" + e.directory;
    for (const auto& [name, value] : e.metrics) text += "|" + name + "=" + formatFull(value);
    return text;
}

TEST_F(RegistryTest, LinesReadByPositionReadAsMemberByMember) {
    // Lines as the writer lays them out take the quick reading; the same
    // lines with a blank after their first colon take the reading member
    // by member. Both must give the same entries.
    const RunRegistry registry(root_);
    ExperimentResult result = handBuiltResult();
    result.metrics = {"m2", "m1", "tiny", "h{"};
    result.runs[0].metrics["tiny"] = -2.5e-300;
    result.runs[0].metrics["h{"] = 1e300;
    result.runs[0].point = "p=1,\"}";
    result.runs[0].point_hash = 12345678901234567890ULL;
    result.runs[0].parameters["run_dir"] = "elsewhere";  // must not be taken for the run's place
    result.runs[0].parameters["q\"\\"] = "\"metrics\":{";
    registry.write(result);
    for (RunRecord& run : result.runs) run.engine_version = "another";  // the same places, taken
    registry.write(result);

    const std::vector<std::string> written = splitLines(index());
    ASSERT_EQ(written.size(), 4u);
    std::string both;
    for (const std::string& line : written) {
        both += line + "\n";
        std::string spaced = line;
        spaced.insert(spaced.find(':') + 1, " ");
        both += spaced + "\n";
    }
    writeIndex(both);
    const IndexScan scan = registry.scanIndex();
    const std::vector<RegistryEntry> loaded = registry.loadEntries();
    const std::vector<RegistryEntry> identities = registry.readIndex();
    ASSERT_TRUE(scan.skipped.empty());
    ASSERT_EQ(scan.entries.size(), 8u);
    ASSERT_EQ(loaded.size(), 8u);
    for (std::size_t i = 0; i < 8; i += 2) {
        EXPECT_EQ(entryText(scan.entries[i]), entryText(scan.entries[i + 1])) << written[i / 2];
        EXPECT_EQ(entryText(loaded[i]), entryText(scan.entries[i]));
        EXPECT_EQ(entryText(loaded[i + 1]), entryText(scan.entries[i]));
        EXPECT_EQ(identity(identities[i]) + identities[i].directory,
                  identity(identities[i + 1]) + identities[i + 1].directory);
    }
    EXPECT_EQ(scan.entries[0].directory, "Exp__q_/p_1___/with_space_slash");
    EXPECT_EQ(scan.entries[4].directory.rfind("Exp__q_/p_1___/with_space_slash-", 0), 0u);
    EXPECT_EQ(scan.entries[0].metrics.at("tiny"), -2.5e-300);
}

TEST_F(RegistryTest, BlankLinesInTheIndexAreSkipped) {
    const RunRegistry registry(root_);
    registry.write(handBuiltResult());
    const auto plain = registry.loadEntries();
    std::string spaced = "\n";
    for (const std::string& line : splitLines(index())) spaced += line + "\n\n\n";
    writeIndex(spaced);
    const auto entries = registry.loadEntries();
    ASSERT_EQ(entries.size(), plain.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(identity(entries[i]), identity(plain[i]));
        EXPECT_EQ(entries[i].metrics, plain[i].metrics);
    }
}

TEST_F(RegistryTest, FieldLookupRules) {
    const RunRegistry registry(root_);
    // Missing keys read as empty text, an empty point_hash as 0, and white
    // space after the colon is skipped; only the text true is valid.
    writeIndex(R"({"point_hash":,"branch": "b\"x\q","config_hash":1,"architecture_hash":2,"seed": 3,)"
               R"("trials":4,"duration_ns":-5,"valid":"true","metrics":{"a":1,"a":2,"b":0.5}})"
               "\n"
               R"({"experiment":"E","point_hash":9,"config_hash":1,"architecture_hash":2,"seed":3,)"
               R"("trials":4,"duration_ns":5,"valid":yes,"metrics":{ "a":1}})"
               "\n");
    const auto entries = registry.loadEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].experiment, "");
    EXPECT_EQ(entries[0].branch, "b\"xq");
    EXPECT_EQ(entries[0].point_hash, 0u);
    EXPECT_EQ(entries[0].seed, 3u);
    EXPECT_EQ(entries[0].duration_ns, -5);
    EXPECT_TRUE(entries[0].valid);
    EXPECT_EQ(entries[0].metrics, (std::map<std::string, double>{{"a", 2.0}, {"b", 0.5}}));
    EXPECT_EQ(entries[1].point_hash, 9u);
    EXPECT_FALSE(entries[1].valid);
    EXPECT_TRUE(entries[1].metrics.empty());  // the scan stops at a member that is no string

    const std::string tail = R"("architecture_hash":2,"seed":3,"trials":4,"duration_ns":5,"valid":true)";
    struct Row {
        std::string line;
        bool rangeError;
        const char* message;
    };
    const Row rows[] = {
        {R"({"config_hash":,)" + tail + "}", false, "invalid stoull argument"},  // empty number
        {"{" + tail + "}", false, "invalid stoull argument"},                    // config_hash missing
        {R"({"config_hash":99999999999999999999,)" + tail + "}", true, "stoull argument out of range"},
        {R"({"config_hash":1,"architecture_hash":2,"seed":3,"trials":4,"duration_ns":x})", false,
         "invalid stoll argument"},
    };
    for (const Row& row : rows) {
        writeIndex(row.line + "\n");
        if (row.rangeError)
            EXPECT_THROW_MSG(registry.readIndex(), std::out_of_range, row.message) << row.line;
        else
            EXPECT_THROW_MSG(registry.readIndex(), std::invalid_argument, row.message) << row.line;
    }

    // Metric values are parsed only by loadEntries.
    writeIndex(R"({"config_hash":1,)" + tail + R"(,"metrics":{"a":x}})" + "\n");
    EXPECT_EQ(registry.readIndex().size(), 1u);
    EXPECT_THROW_MSG(registry.loadEntries(), std::invalid_argument, "invalid stod argument");
    writeIndex(R"({"config_hash":1,)" + tail + R"(,"metrics":{"a":1e999}})" + "\n");
    EXPECT_THROW_MSG(registry.loadEntries(), std::out_of_range, "stod argument out of range");
}

TEST(RegistryNames, SafePathComponentsAndJsonEscapes) {
    EXPECT_EQ(safePathComponent("SweepProbe"), "SweepProbe");
    EXPECT_EQ(safePathComponent("stochasticity=0.1_seed=500"), "stochasticity_0_1_seed_500");
    EXPECT_EQ(safePathComponent("with space/slash"), "with_space_slash");
    EXPECT_EQ(safePathComponent("a-b_Z9"), "a-b_Z9");
    EXPECT_EQ(safePathComponent("\xc4\x8d"), "__");  // one "_" per byte of a multi-byte character
    EXPECT_EQ(safePathComponent(".."), "__");
    EXPECT_EQ(safePathComponent(""), "unnamed");

    EXPECT_EQ(jsonEscape("a\"b\\c\nd\re\tf"), "a\\\"b\\\\c\\nd\\re\\tf");
    EXPECT_EQ(jsonEscape("\x01\x7f\xc3\xa9/"), "\x01\x7f\xc3\xa9/");  // other bytes are copied
}

TEST_F(RegistryTest, FailuresNameWhatCouldNotBeWritten) {
    EXPECT_THROW_MSG(RunRegistry(""), InvalidExperiment, "the run registry needs a root directory");

    // A root that is a regular file cannot hold directories.
    writeIndex("");
    EXPECT_THROW(RunRegistry(root_ / "registry.jsonl").write(handBuiltResult()), fs::filesystem_error);

    // An index that cannot be opened for appending.
    fs::remove_all(root_);
    fs::create_directories(root_ / "registry.jsonl");
    EXPECT_THROW_MSG(
        RunRegistry(root_).write(handBuiltResult()), InvalidExperiment,
        "cannot write the run registry index " + (root_ / "registry.jsonl").string() + ": Is a directory");

    // A run file that cannot be created: earlier files stay, no index line is appended.
    fs::remove_all(root_);
    const fs::path run = root_ / "Exp__q_" / "with_space_slash";
    fs::create_directories(run / "events.csv");
    EXPECT_THROW_MSG(RunRegistry(root_).write(handBuiltResult()), InvalidExperiment,
                     "cannot write " + (run / "events.csv").string() + ": Is a directory");
    EXPECT_TRUE(fs::exists(run / "metadata.json"));
    EXPECT_EQ(index(), "");
}

}  // namespace
}  // namespace Core::Kvrn
