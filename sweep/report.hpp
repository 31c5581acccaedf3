#pragma once

#include <string>

#include "sweep/contrast.hpp"
#include "sweep/sweep_runner.hpp"

namespace Core::Kvrn {

// The sweep result as a plain-text report for people: what was swept, how
// many runs stand behind it, every point's mean with its interval, each
// curve's shape and regime candidate (or, for two or more axes, one map per
// metric), the pre-registration, and a closing warning against reading a
// setting off the result. It never singles out a point.
std::string renderSweepReport(const SweepResult& result);

// The paired contrasts as a section printed below that report: per
// intervention branch and metric, each point's mean difference from the
// control on the same seeds with its interval. Empty when there are none.
std::string renderContrastReport(const std::vector<PairedContrast>& contrasts);

}  // namespace Core::Kvrn
