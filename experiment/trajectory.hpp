#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/model_time.hpp"

// The model's sampled state over time and its reading as a sequence of
// visits to k states (deterministic k-means).
namespace Core::Kvrn {

struct Trajectory {
    std::vector<ModelTime> times;             // sample times [ns]
    std::vector<std::vector<double>> states;  // one vector per sample, all of length D
    std::vector<std::string> dimensionNames;  // may be shorter than D
};

// One completed stay in a cluster.
struct StateRun {
    std::uint64_t label = 0;
    ModelTime duration = 0;  // [ns]
};

struct KMeansAnalysis {
    std::vector<std::uint64_t> labels;  // final cluster of each sample
    std::uint64_t k = 0;
    std::uint64_t iterations = 0;  // iteration counter at exit
    std::vector<StateRun> runs;    // completed runs in time order; the last, open run is left out
    std::vector<std::vector<double>> transitions;         // k x k jump-chain probabilities, row = from
    double jump_entropy = 0.0;                            // natural logarithm
    std::vector<std::vector<double>> centroid_distances;  // k x k, diagonal 0
    double separability = 0.0;                            // m / (2W + m); 0 when k = 1
};

// Throws InvalidTrajectory for size mismatch, no samples, no dimensions or
// states of differing lengths (checked in that order).
void validateTrajectory(const Trajectory& trajectory);

// Lloyd's k-means on farthest-point seeds, at most `maxIterations` rounds.
// Throws InvalidTrajectory for a malformed trajectory or k outside
// [1, number of samples].
KMeansAnalysis analyseStates(const Trajectory& trajectory, std::uint64_t k, std::uint64_t maxIterations);

// Euclidean distance of two vectors of equal length, summed in index order.
double euclideanDistance(const std::vector<double>& a, const std::vector<double>& b);

// k initial centroids: the first state, then repeatedly the state farthest
// from every centroid chosen so far (earliest on ties; may repeat a state).
// `states` must not be empty.
std::vector<std::vector<double>> farthestPointSeeds(const std::vector<std::vector<double>>& states,
                                                    std::uint64_t k);

// The trajectory as CSV: header "engine_version,timestamp,<dimensions>",
// one row per sample with values at 17 significant digits.
std::string trajectoryCsv(const Trajectory& trajectory);

}  // namespace Core::Kvrn
