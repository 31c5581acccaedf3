#pragma once

#include <cstdint>

namespace Core::Kvrn {

// Spike statistics of one branch run. Matched controls compare these
// between branches and the built-in metrics read spike_count and
// firing_rate. Produced by the experiment runner from the run's spikes.
struct RunStatistics {
    std::uint64_t spike_count = 0;
    double firing_rate = 0.0;   // spikes per second per neuron
    double isi_mean = 0.0;      // mean inter-spike interval [s]; 0 without intervals
    double isi_variance = 0.0;  // population variance of the intervals [s^2]; 0 without intervals
    std::int64_t duration_ns = 0;
    std::uint64_t neurons = 0;
};

}  // namespace Core::Kvrn
