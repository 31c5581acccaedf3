#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "engine/testing/oscillatory_populations.hpp"
#include "sweep/sweep_runner.hpp"

// The model the tool runs every experiment on: the oscillatory-populations
// test model with oscillator modulation weight 1.5, the value the acceptance
// program's sweeps use, so the tool's runs and theirs share an architecture.
namespace Core::Cli {

inline constexpr double kModelModulation = 1.5;

// The parameters a sweep can set on the model, by name.
inline constexpr std::array<std::string_view, 4> kModelParameters = {"stochasticity", "modulation",
                                                                     "frequency", "phase_jitter"};

std::unique_ptr<Kvrn::Testing::OscillatoryPopulations> newModel();

// A fresh model per call with the point's parameters set by name. Safe to
// call from several threads at once. Throws InvalidExperiment
// "this model has no parameter <name>" for a name the model lacks.
Kvrn::ModelFactory modelFactory();

bool modelKnowsParameter(std::string_view name);

// The parameter names joined by ", ", for messages.
std::string modelParameterList();

}  // namespace Core::Cli
