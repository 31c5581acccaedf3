#pragma once

#include "experiment/experiment_spec.hpp"
#include "language/model_lowering.hpp"
#include "language/syntax.hpp"
#include "sweep/declaration.hpp"

#include <optional>
#include <string>
#include <string_view>

// From a declaration file to the experiment framework: read, parse, analyse
// for the kvrn runtime, choose one experiment and lower it into an experiment
// specification and, when it declares one, a sweep declaration. Failures of
// this layer are InvalidExperiment; lexer and parser errors pass through as
// VostelError, sweep validation as InvalidSweep.
namespace Core::Vostel {

struct LoadedExperiment {
    Kvrn::ExperimentSpec spec;
    std::optional<Kvrn::SweepDeclaration> sweep;  // present exactly when the experiment has a sweep block
    // The model the file declares, with what it cannot run; loading does not
    // refuse on it, the caller that runs the model does.
    LoweredArchitecture architecture;
};

// Loads the experiment called `name` from the file at `path`; an empty name
// takes the first experiment of the file.
LoadedExperiment loadExperiment(const std::string& path, std::string_view name);

// The bytes of a declaration file. Throws InvalidExperiment "cannot read
// <path>: <cause>" for a missing or unreadable file, a directory, and a file
// or device larger than a declaration file could sensibly be (at most a few
// megabytes are read).
std::string readDeclarationFile(const std::string& path);

// Reads the file byte for byte, parses it and analyses it; any semantic
// error fails the whole file with every error listed. Warnings are dropped.
Model parseModelFile(const std::string& path);

// The experiment called `name`, or the first one for an empty name.
const ExperimentDecl& selectExperiment(const Model& model, std::string_view name);

// The validated specification of one experiment of `model`.
Kvrn::ExperimentSpec lowerExperiment(const Model& model, const ExperimentDecl& experiment);

// The validated sweep declaration; values keep their order and units.
Kvrn::SweepDeclaration lowerSweep(const SweepDecl& sweep);

// "firing_rate", "spike_count" or "isi_variance".
Kvrn::ControlStatistic matchedStatistic(const std::string& name);

// The first stimulus of `model` called `name`.
const StimulusDecl& findStimulus(const Model& model, const std::string& name);

}  // namespace Core::Vostel
