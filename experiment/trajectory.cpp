#include "experiment/trajectory.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/format.hpp"
#include "engine/errors.hpp"

namespace Core::Kvrn {
namespace {

using State = std::vector<double>;
using Matrix = std::vector<std::vector<double>>;

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Nearest centroid; ties go to the lowest index (strictly smaller wins).
std::uint64_t nearestCentroid(const State& state, const std::vector<State>& centroids) {
    double best = kInfinity;
    std::uint64_t bestIndex = 0;
    for (std::size_t c = 0; c < centroids.size(); ++c) {
        const double d = euclideanDistance(state, centroids[c]);
        if (d < best) {
            best = d;
            bestIndex = c;
        }
    }
    return bestIndex;
}

// Index of the sample farthest from the centroid of its own cluster;
// earliest on ties, and always some sample because the search starts
// below every distance.
std::size_t farthestFromOwnCentroid(const std::vector<State>& states,
                                    const std::vector<std::uint64_t>& labels,
                                    const std::vector<State>& centroids) {
    double best = -1.0;
    std::size_t bestIndex = 0;
    for (std::size_t j = 0; j < states.size(); ++j) {
        const double d = euclideanDistance(states[j], centroids[labels[j]]);
        if (d > best) {
            best = d;
            bestIndex = j;
        }
    }
    return bestIndex;
}

// New centroids from the current labels. A cluster left empty is reseeded
// with the worst-fitting sample, measured against the old centroids.
std::vector<State> updateCentroids(const std::vector<State>& states, const std::vector<std::uint64_t>& labels,
                                   const std::vector<State>& centroids) {
    const std::size_t k = centroids.size();
    const std::size_t dimensions = states.front().size();
    std::vector<std::uint64_t> counts(k, 0);
    std::vector<State> sums(k, State(dimensions, 0.0));
    for (std::size_t j = 0; j < states.size(); ++j) {
        ++counts[labels[j]];
        for (std::size_t d = 0; d < dimensions; ++d) sums[labels[j]][d] += states[j][d];
    }
    std::vector<State> updated(k);
    for (std::size_t c = 0; c < k; ++c) {
        if (counts[c] == 0) {
            updated[c] = states[farthestFromOwnCentroid(states, labels, centroids)];
            continue;
        }
        updated[c] = sums[c];
        for (double& value : updated[c]) value /= static_cast<double>(counts[c]);
    }
    return updated;
}

// Completed residence runs; the run the trajectory ends inside is open and
// therefore not recorded.
std::vector<StateRun> residenceRuns(const std::vector<std::uint64_t>& labels,
                                    const std::vector<ModelTime>& times) {
    std::vector<StateRun> runs;
    std::size_t runStart = 0;
    for (std::size_t i = 1; i < labels.size(); ++i) {
        if (labels[i] != labels[i - 1]) {
            runs.push_back({labels[runStart], times[i] - times[runStart]});
            runStart = i;
        }
    }
    return runs;
}

// Jump-chain probabilities (self-transitions not counted) into `a`, and
// the chain's entropy weighted by how often each row is left.
void jumpChain(KMeansAnalysis& a) {
    const std::size_t k = a.k;
    a.transitions.assign(k, std::vector<double>(k, 0.0));
    std::vector<double> rowTotals(k, 0.0);
    for (std::size_t i = 1; i < a.labels.size(); ++i) {
        const std::uint64_t from = a.labels[i - 1];
        const std::uint64_t to = a.labels[i];
        if (from == to) continue;
        a.transitions[from][to] += 1.0;
        rowTotals[from] += 1.0;
    }
    double total = 0.0;
    for (double rowTotal : rowTotals) total += rowTotal;
    a.jump_entropy = 0.0;
    for (std::size_t row = 0; row < k; ++row) {
        if (rowTotals[row] == 0.0) continue;
        double sum = 0.0;
        for (double& p : a.transitions[row]) {
            p /= rowTotals[row];
            if (p > 0.0) sum += p * std::log(p);
        }
        const double entropy = -sum;
        if (total > 0.0) a.jump_entropy += (rowTotals[row] / total) * entropy;
    }
}

}  // namespace

void validateTrajectory(const Trajectory& trajectory) {
    if (trajectory.times.size() != trajectory.states.size()) {
        throw InvalidTrajectory("trajectory time and state sizes differ");
    }
    if (trajectory.states.empty()) throw InvalidTrajectory("empty trajectory");
    const std::size_t dimensions = trajectory.states.front().size();
    if (dimensions == 0) throw InvalidTrajectory("trajectory state has no dimensions");
    for (const State& state : trajectory.states) {
        if (state.size() != dimensions) throw InvalidTrajectory("ragged trajectory");
    }
}

double euclideanDistance(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double difference = a[i] - b[i];
        sum += difference * difference;
    }
    return std::sqrt(sum);
}

std::vector<std::vector<double>> farthestPointSeeds(const std::vector<std::vector<double>>& states,
                                                    std::uint64_t k) {
    std::vector<State> centroids;
    if (states.empty() || k == 0) return centroids;
    centroids.push_back(states.front());
    while (centroids.size() < k) {
        double best = -1.0;
        std::size_t bestIndex = 0;
        for (std::size_t j = 0; j < states.size(); ++j) {
            double nearest = kInfinity;
            for (const State& centroid : centroids)
                nearest = std::min(nearest, euclideanDistance(states[j], centroid));
            if (nearest > best) {
                best = nearest;
                bestIndex = j;
            }
        }
        centroids.push_back(states[bestIndex]);
    }
    return centroids;
}

KMeansAnalysis analyseStates(const Trajectory& trajectory, std::uint64_t k, std::uint64_t maxIterations) {
    validateTrajectory(trajectory);
    const std::vector<State>& states = trajectory.states;
    if (k == 0 || k > states.size()) throw InvalidTrajectory("cluster count outside the sample count");

    KMeansAnalysis a;
    a.k = k;
    a.labels.assign(states.size(), 0);
    std::vector<State> centroids = farthestPointSeeds(states, k);

    // The first round always counts; after it, a round that changes no
    // label means convergence.
    if (maxIterations > 0) {
        for (;;) {
            const std::vector<std::uint64_t> previous = a.labels;
            for (std::size_t j = 0; j < states.size(); ++j)
                a.labels[j] = nearestCentroid(states[j], centroids);
            centroids = updateCentroids(states, a.labels, centroids);
            if (a.iterations != 0 && a.labels == previous) break;
            if (++a.iterations == maxIterations) break;
        }
    }

    a.runs = residenceRuns(a.labels, trajectory.times);
    jumpChain(a);

    a.centroid_distances.assign(k, std::vector<double>(k, 0.0));
    double smallest = kInfinity;
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            if (i == j) continue;
            a.centroid_distances[i][j] = euclideanDistance(centroids[i], centroids[j]);
            smallest = std::min(smallest, a.centroid_distances[i][j]);
        }
    }

    double spread = 0.0;
    for (std::size_t j = 0; j < states.size(); ++j)
        spread += euclideanDistance(states[j], centroids[a.labels[j]]);
    spread /= static_cast<double>(states.size());

    a.separability = (k == 1 || !std::isfinite(smallest)) ? 0.0 : smallest / (2.0 * spread + smallest);
    return a;
}

std::string trajectoryCsv(const Trajectory& trajectory) {
    // Writing never fails: a sample needs both its time and its state, so a
    // malformed trajectory is cut to the samples it fully describes.
    const std::size_t samples = std::min(trajectory.times.size(), trajectory.states.size());
    const std::size_t dimensions = trajectory.states.empty() ? 0 : trajectory.states.front().size();
    std::string text = "engine_version,timestamp";
    for (std::size_t d = 0; d < dimensions; ++d) {
        text += ',';
        if (d < trajectory.dimensionNames.size()) {
            text += trajectory.dimensionNames[d];
        } else {
            text += "state_";
            text += std::to_string(d);
        }
    }
    text += "\n";
    for (std::size_t i = 0; i < samples; ++i) {
        text += "2,";
        text += std::to_string(trajectory.times[i]);
        for (double value : trajectory.states[i]) {
            text += ',';
            text += formatFull(value);
        }
        text += "\n";
    }
    return text;
}

}  // namespace Core::Kvrn
