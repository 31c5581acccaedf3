#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "engine/testing/oscillatory_populations.hpp"
#include "language/loader.hpp"
#include "sweep/sweep_runner.hpp"

// The model the tool runs every experiment on: the oscillatory-populations
// model built from what the declaration file declares. A file that declares
// nothing of it runs the default architecture (oscillator modulation weight
// 1.5, the value the acceptance program's sweeps use), so the tool's runs
// and theirs share an architecture.
namespace Core::Cli {

inline constexpr double kModelModulation = 1.5;

// The parameters a sweep can set on any model, by name; a file adds the
// paths of the quantities it declares (theta.frequency, ...).
inline constexpr std::array<std::string_view, 4> kModelParameters = {"stochasticity", "modulation",
                                                                     "frequency", "phase_jitter"};

// The default architecture.
std::unique_ptr<Kvrn::Testing::OscillatoryPopulations> newModel();
std::unique_ptr<Kvrn::Testing::OscillatoryPopulations> newModel(const Kvrn::ModelArchitecture& architecture);

// A fresh model per call with the point's parameters set by name. Safe to
// call from several threads at once. Throws InvalidExperiment
// "this model has no parameter <name>" for a name the model lacks.
Kvrn::ModelFactory modelFactory();
// The same on the declared architecture; an axis may also name a declared
// quantity by its path.
Kvrn::ModelFactory modelFactory(const Vostel::LoweredArchitecture& declared);

bool modelKnowsParameter(std::string_view name);
bool modelKnowsParameter(const Vostel::LoweredArchitecture& declared, std::string_view name);

// The parameter names joined by ", ", for messages; with a declaration, its
// paths follow today's four names.
std::string modelParameterList();
std::string modelParameterList(const Vostel::LoweredArchitecture& declared);

// Refuses, before anything runs, a file whose model cannot run as declared:
// a declared value the model cannot take, a declaration the engine does not
// execute (each named with its line), or a sweep axis that names no
// parameter. Throws InvalidExperiment.
void refuseUnrunnable(const std::string& file, const Vostel::LoadedExperiment& loaded);

// vostel check --explain: every quantity of the model that will run, its
// value and where it came from, then the fixed quantities.
std::string explainModel(const std::string& file, const Vostel::LoweredArchitecture& declared);

}  // namespace Core::Cli
