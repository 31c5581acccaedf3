#pragma once

#include <stdexcept>
#include <string>

#include "sweep/sweep_runner.hpp"

// The sweep result as one SVG picture. A one-axis sweep gets a panel per
// metric: each branch's means joined over the axis, the 95 % confidence band
// around them, the classified shape in the legend and a dashed line at any
// regime-transition candidate. A two-axis sweep gets a heat map per metric
// and branch, the mean written in each cell. Nothing marks a point as the
// one to pick. The picture depends on the result alone.
namespace Core::Cli {

// Throws std::invalid_argument unless the result has one or two axes.
std::string sweepPlotSvg(const Kvrn::SweepResult& result);

// The message of that refusal for an axis count, or empty when it can be drawn.
std::string plotRefusal(std::size_t axes);

}  // namespace Core::Cli
