#include <benchmark/benchmark.h>

#include <cstdint>

#include "engine/testing/oscillatory_populations.hpp"

namespace {

using Core::Kvrn::ModelTime;
using Core::Kvrn::StimulusEvent;

// One whole probe run of the test model, as the experiment runner drives it:
// drive "A" from 0 to 75 ms, fork at 25 ms (snapshot and restore), then the
// rest of the stimulus to 150 ms. The argument is the stochasticity.
void probeRun(benchmark::State& state) {
    const double stochasticity = static_cast<double>(state.range(0)) / 100.0;
    constexpr ModelTime kMs = 1'000'000;
    std::uint64_t seed = 500;
    std::uint64_t spikes = 0;
    std::uint64_t snapshotBytes = 0;
    for (auto _ : state) {
        Core::Kvrn::Testing::OscillatoryPopulations model(1.5);
        model.setStochasticity(stochasticity);
        model.reset(seed++);
        model.applyStimulus(StimulusEvent{0, "A", true, 0});
        model.advanceTo(25 * kMs);
        const auto fork = model.snapshot();
        model.restore(fork);
        model.beginBranch("baseline");
        model.advanceTo(75 * kMs);
        model.applyStimulus(StimulusEvent{75 * kMs, "A", false, 0});
        model.applyStimulus(StimulusEvent{75 * kMs, "blank", true, 0});
        model.advanceTo(150 * kMs);
        model.applyStimulus(StimulusEvent{150 * kMs, "blank", false, 0});
        model.endBranch("baseline");
        spikes += model.spikeLog().size();
        snapshotBytes += fork.size();
        benchmark::DoNotOptimize(model.trajectory());
    }
    state.counters["spikes_per_run"] =
        benchmark::Counter(static_cast<double>(spikes), benchmark::Counter::kAvgIterations);
    state.counters["fork_snapshot_bytes"] =
        benchmark::Counter(static_cast<double>(snapshotBytes), benchmark::Counter::kAvgIterations);
}
BENCHMARK(probeRun)->Arg(25)->Arg(100)->Arg(400)->Unit(benchmark::kMicrosecond);
// A fixed count of runs at stochasticity 1, so that instruction counts (under
// valgrind --tool=callgrind) compare like with like between builds:
//   valgrind --tool=callgrind bench/model_bench --benchmark_filter=probeRunFixed
BENCHMARK(probeRun)->Name("probeRunFixed")->Arg(100)->Iterations(200)->Unit(benchmark::kMicrosecond);

}  // namespace
