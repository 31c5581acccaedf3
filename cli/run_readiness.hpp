#pragma once

#include <string>
#include <vector>

#include "language/syntax.hpp"

// What `vostel run` would refuse in a file the language rules accept: a
// metric the runner cannot compute, an intervention the model does not
// implement (or not with these arguments). `vostel check` reports these as
// errors so that a file it passes also runs.
namespace Core::Cli {

// "FILE:LINE: error: ..." lines, experiments and their declarations in file
// order. A metric is reported at its own line, an intervention at its
// experiment's.
std::vector<std::string> runReadinessErrors(const std::string& file, const Vostel::Model& model);

// Where an analysis message of `model` points: "FILE:LINE" for a message
// about an experiment or stimulus (its declaration's line) or one that names
// its line itself, else "FILE".
std::string messageLocation(const std::string& file, const Vostel::Model& model, const std::string& message);

// The metric names the runner computes, joined by ", ".
std::string knownMetricList();

// The intervention kinds the model implements, joined by ", ".
std::string knownInterventionList();

}  // namespace Core::Cli
