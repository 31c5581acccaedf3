#pragma once

#include <string>
#include <vector>

#include "sweep/sweep_runner.hpp"

// Paired contrasts of a sweep. Every branch of one (point, seed) pair forks
// from the same snapshot on the same seed, so the natural comparison is the
// difference within the pair: intervention branch minus control branch, seed
// by seed, summarised with the same Student-t interval as the cells.
namespace Core::Kvrn {

// One intervention branch against the control at one point, for one metric.
struct PairedContrast {
    SweepPoint point;
    std::string branch;   // the intervention branch
    std::string control;  // the branch subtracted
    std::string metric;
    SampleSummary difference;  // count 0 (and nothing else set) when no seed has both runs
};

// For every point in expansion order, every branch other than the control
// in cell order and every declared metric: the differences branch - control
// over the seeds where both runs are valid and carry the metric. Empty when
// the result has no control branch or no other branch.
std::vector<PairedContrast> pairedContrasts(const SweepResult& result);

}  // namespace Core::Kvrn
