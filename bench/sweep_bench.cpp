#include <benchmark/benchmark.h>

#include <unistd.h>
#include <filesystem>
#include <memory>
#include <string>

#include "cli/parallel_executor.hpp"
#include "engine/testing/oscillatory_populations.hpp"
#include "experiment/metrics.hpp"
#include "sweep/sweep_runner.hpp"
#include "tests/support/probe.hpp"

// The S1 sweep in process (six stochasticities, six seeds, one branch), on
// the command-line tool's thread pool with 1 or 2 threads, into a fresh
// registry or none: how far the pairs' work, registry writes included,
// spreads over the threads. The registry goes below $VOSTEL_BENCH_DIR, or
// the system's temporary directory.
namespace {

namespace fs = std::filesystem;
using namespace Core::Kvrn;

std::unique_ptr<ExperimentModel> stochasticityModel(const SweepPoint& point) {
    auto model = std::make_unique<Core::Kvrn::Testing::OscillatoryPopulations>(1.5);
    model->setStochasticity(point.value("stochasticity"));
    return model;
}

void sweepS1(benchmark::State& state) {
    const unsigned threads = static_cast<unsigned>(state.range(0));
    const bool withRegistry = state.range(1) != 0;
    const char* base = std::getenv("VOSTEL_BENCH_DIR");
    const fs::path root = fs::path(base != nullptr ? base : fs::temp_directory_path().string()) /
                          ("vostel-sweep-bench-" + std::to_string(::getpid()));
    const SweepDeclaration sweep{{{"stochasticity", {0.125, 0.25, 0.5, 1, 2, 4}}}, 6};
    const ExperimentSpec spec = ::Testing::probeSpec("S1");
    SweepOptions options;
    options.executor = Core::Cli::threadPoolExecutor(threads);
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(root);
        const RunRegistry registry(root);
        const SweepRunner runner(ExperimentRunner("bench", MetricRegistry()),
                                 withRegistry ? &registry : nullptr);
        state.ResumeTiming();
        benchmark::DoNotOptimize(runner.run(spec, sweep, stochasticityModel, {}, options));
    }
    fs::remove_all(root);
}
BENCHMARK(sweepS1)
    ->ArgNames({"threads", "registry"})
    ->Args({1, 1})
    ->Args({2, 1})
    ->Args({1, 0})
    ->Args({2, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
