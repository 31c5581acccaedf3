#include "language/loader.hpp"

#include "language/lexer.hpp"
#include "language/parser.hpp"
#include "language/semantic_analyzer.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

#include <sys/stat.h>

namespace Core::Vostel {
namespace {

using Kvrn::InvalidExperiment;

// Largest declaration file read; real ones are a few kilobytes.
constexpr std::size_t kMaxFileBytes = 8u << 20;

// The file's bytes as stored; line ends are left to the lexer. A directory,
// or anything that is larger than a declaration file could sensibly be
// (a device such as /dev/zero never ends), is refused before or while
// reading, naming the path and the cause.
std::string readWholeFile(const std::string& path) {
    const std::string tooLarge = "cannot read " + path + ": larger than " +
                                 std::to_string(kMaxFileBytes >> 20) +
                                 " MiB, too large for a declaration file";
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        throw InvalidExperiment("cannot read " + path + ": " + std::strerror(errno));
    if (S_ISDIR(status.st_mode)) throw InvalidExperiment("cannot read " + path + ": it is a directory");
    if (S_ISREG(status.st_mode) && static_cast<std::uint64_t>(status.st_size) > kMaxFileBytes)
        throw InvalidExperiment(tooLarge);
    std::ifstream file(path, std::ios::binary);
    if (!file) throw InvalidExperiment("cannot read " + path + ": " + std::strerror(errno));
    std::string content;
    char block[65536];
    while (file.read(block, sizeof block) || file.gcount() > 0) {
        content.append(block, static_cast<std::size_t>(file.gcount()));
        if (content.size() > kMaxFileBytes) throw InvalidExperiment(tooLarge);
    }
    if (file.bad()) throw InvalidExperiment("cannot read " + path + ": a read failed");
    return content;
}

// Counts in the syntax tree are signed; a negative count becomes 0 so that
// the framework's validation refuses it instead of seeing a huge number.
std::uint64_t count(std::int64_t value) { return value < 0 ? 0 : static_cast<std::uint64_t>(value); }

}  // namespace

std::string readDeclarationFile(const std::string& path) { return readWholeFile(path); }

LoadedExperiment loadExperiment(const std::string& path, std::string_view name) {
    const Model model = parseModelFile(path);
    LoadedExperiment loaded;
    loaded.spec = lowerExperiment(model, selectExperiment(model, name));
    const ExperimentDecl& experiment = selectExperiment(model, name);
    if (experiment.sweep) loaded.sweep = lowerSweep(*experiment.sweep);
    loaded.architecture = lowerArchitecture(model);
    return loaded;
}

Model parseModelFile(const std::string& path) {
    Model model = Parser(Lexer(readWholeFile(path)).tokenize()).parseModel();
    const AnalysisResult analysis = SemanticAnalyzer(model, RuntimeKind::Kvrn).analyze();
    if (analysis.errors.empty()) return model;
    std::string message = "semantic errors in " + path + ":";
    for (const std::string& error : analysis.errors) message += "\n  " + error;
    throw InvalidExperiment(message);
}

const ExperimentDecl& selectExperiment(const Model& model, std::string_view name) {
    if (model.experiments.empty()) throw InvalidExperiment("the model declares no experiment");
    if (name.empty()) return model.experiments.front();
    for (const ExperimentDecl& experiment : model.experiments) {
        if (experiment.name == name) return experiment;
    }
    throw InvalidExperiment("unknown experiment " + std::string(name));
}

Kvrn::ExperimentSpec lowerExperiment(const Model& model, const ExperimentDecl& experiment) {
    Kvrn::ExperimentSpec spec;
    spec.name = experiment.name;
    spec.hypothesis = experiment.hypothesis;
    spec.theory_version = experiment.theory;
    const std::optional<std::int64_t> seed = experiment.seed ? experiment.seed : model.seed;
    if (!seed) throw InvalidExperiment("experiment " + experiment.name + " declares no seed");
    spec.seed = static_cast<std::uint64_t>(*seed);
    spec.snapshot_at_ns = experiment.forkAt;
    spec.trials = count(experiment.trials);

    const StimulusDecl& stimulus = findStimulus(model, experiment.stimulus);
    spec.stimulus.name = stimulus.name;
    for (const SegmentDecl& segment : stimulus.segments) {
        spec.stimulus.segments.push_back({segment.name, segment.from, segment.to});
    }

    for (const BranchDecl& branch : experiment.branches) {
        Kvrn::BranchSpec lowered{branch.name, {}};
        for (const InterventionDecl& intervention : branch.interventions) {
            lowered.interventions.push_back({intervention.name, intervention.arguments, intervention.value});
        }
        spec.branches.push_back(std::move(lowered));
    }
    for (const MatchDecl& match : experiment.controls) {
        spec.controls.push_back({matchedStatistic(match.statistic), match.tolerance});
    }
    spec.metrics = experiment.metrics;
    spec.swept = experiment.sweep.has_value();
    spec.prediction = experiment.prediction;
    spec.null = experiment.nullResult;
    spec.falsification = experiment.falsification;

    Kvrn::validateExperiment(spec);
    return spec;
}

Kvrn::SweepDeclaration lowerSweep(const SweepDecl& sweep) {
    Kvrn::SweepDeclaration lowered;
    for (const AxisDecl& axis : sweep.axes) lowered.axes.push_back({axis.parameter, axis.values});
    lowered.seeds = count(sweep.seeds);
    Kvrn::validateSweep(lowered);
    return lowered;
}

Kvrn::ControlStatistic matchedStatistic(const std::string& name) {
    if (name == "firing_rate") return Kvrn::ControlStatistic::FiringRate;
    if (name == "spike_count") return Kvrn::ControlStatistic::SpikeCount;
    if (name == "isi_variance") return Kvrn::ControlStatistic::IsiVariance;
    throw InvalidExperiment("unknown matched statistic " + name);
}

const StimulusDecl& findStimulus(const Model& model, const std::string& name) {
    for (const StimulusDecl& stimulus : model.stimuli) {
        if (stimulus.name == name) return stimulus;
    }
    throw InvalidExperiment("experiment references unknown stimulus " + name);
}

}  // namespace Core::Vostel
