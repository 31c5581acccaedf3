#pragma once

#include <string>

#include "sweep/sweep_runner.hpp"

namespace Core::Kvrn {

// The sweep result as a plain-text report for people: what was swept, how
// many runs stand behind it, every point's mean with its interval, each
// curve's shape and regime candidate (or, for two or more axes, one map per
// metric), the pre-registration, and a closing warning against reading a
// setting off the result. It never singles out a point.
std::string renderSweepReport(const SweepResult& result);

}  // namespace Core::Kvrn
