#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "engine/portable_math.hpp"
#include "tests/engine/population.hpp"

namespace {

// Hazard-firing throughput: 40 neurons in two antiphase groups, each
// modulated by its own 10 Hz oscillator (depth 1.5, the test model's
// parameters), run for one second of model time in 5 ms windows.
void antiphasePopulation(benchmark::State& state) {
    std::uint64_t seed = 500;
    std::uint64_t candidates = 0;
    std::uint64_t spikes = 0;
    for (auto _ : state) {
        Testing::Population population;
        Testing::buildAntiphasePopulation(population, seed++, 40, 10.0, 1.5, 1.0);
        population.advanceTo(1'000'000'000, 5'000'000);
        candidates += population.candidates;
        spikes += population.spikes.size();
        benchmark::DoNotOptimize(population.spikes.data());
    }
    state.counters["candidates_per_s"] =
        benchmark::Counter(static_cast<double>(candidates), benchmark::Counter::kIsRate);
    state.counters["spikes_per_s"] =
        benchmark::Counter(static_cast<double>(spikes), benchmark::Counter::kIsRate);
}
BENCHMARK(antiphasePopulation)->Unit(benchmark::kMillisecond);

// 40 exponentials of decay-sized arguments (a window's worth for the test
// model), one at a time and as one batch.
std::vector<double> decayArguments() {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> argument(-3.0, 0.0);
    std::vector<double> x(40);
    for (double& v : x) v = argument(random);
    return x;
}

void expScalar(benchmark::State& state) {
    const std::vector<double> x = decayArguments();
    std::vector<double> y(x.size());
    for (auto _ : state) {
        for (std::size_t i = 0; i < x.size(); ++i) y[i] = Core::Kvrn::portableExp(x[i]);
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(expScalar);

void expBatch(benchmark::State& state) {
    const std::vector<double> x = decayArguments();
    std::vector<double> y(x.size());
    for (auto _ : state) {
        Core::Kvrn::portableExpEach(x, y);
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(expBatch);

}  // namespace
