#include <benchmark/benchmark.h>

#include <unistd.h>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/testing/oscillatory_populations.hpp"
#include "experiment/experiment_runner.hpp"
#include "experiment/metrics.hpp"
#include "experiment/run_registry.hpp"
#include "tests/support/probe.hpp"

// The run registry's costs per run: writing a run (its five files and its
// index line), the two halves of that write, and reading a long index back.
// The registry goes below $VOSTEL_BENCH_DIR, or the system's temporary
// directory: file creation costs depend on that file system.
namespace {

namespace fs = std::filesystem;
using namespace Core::Kvrn;

// One probe run at stochasticity 1 as a sweep stores it.
const ExperimentResult& probeResult() {
    static const ExperimentResult result = [] {
        Core::Kvrn::Testing::OscillatoryPopulations model(1.5);
        model.setStochasticity(1.0);
        const ExperimentRunner runner("bench", MetricRegistry());
        ExperimentResult r = runner.run(::Testing::probeSpec("Bench"), model, {});
        r.runs.front().parameters["sweep.stochasticity"] = "1";
        return r;
    }();
    return result;
}

// A fresh registry root, removed when the benchmark ends.
struct ScratchRoot {
    fs::path path;
    ScratchRoot() {
        const char* base = std::getenv("VOSTEL_BENCH_DIR");
        path = fs::path(base != nullptr ? base : fs::temp_directory_path().string()) /
               ("vostel-registry-bench-" + std::to_string(::getpid()));
        fs::remove_all(path);
    }
    ~ScratchRoot() { fs::remove_all(path); }
};

// The result as the run of seed `seed`: a place of its own in the registry.
ExperimentResult atSeed(std::uint64_t seed) {
    ExperimentResult result = probeResult();
    RunRecord& run = result.runs.front();
    run.seed = seed;
    run.point = "stochasticity=1_seed=" + std::to_string(seed);
    return result;
}

// Which part of a run's write is timed: all of it, or one of its halves
// (the other runs outside the timing). The stage runs on the computing
// threads of a sweep, the commit in pair order, one pair at a time.
enum class Timed { Write, Stage, Commit };

void registryWriting(benchmark::State& state, Timed timed) {
    const ScratchRoot root;
    const RunRegistry registry(root.path);
    std::uint64_t seed = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const ExperimentResult result = atSeed(seed++);
        if (timed != Timed::Commit) state.ResumeTiming();
        StagedWrite staged = registry.stage(result);
        if (timed == Timed::Stage) state.PauseTiming();
        if (timed == Timed::Commit) state.ResumeTiming();
        registry.commit(std::move(staged));
        if (timed == Timed::Stage) state.ResumeTiming();
    }
}
void registryWrite(benchmark::State& state) { registryWriting(state, Timed::Write); }
void registryStage(benchmark::State& state) { registryWriting(state, Timed::Stage); }
void registryCommit(benchmark::State& state) { registryWriting(state, Timed::Commit); }
BENCHMARK(registryWrite)->Unit(benchmark::kMicrosecond);
BENCHMARK(registryStage)->Unit(benchmark::kMicrosecond);
BENCHMARK(registryCommit)->Unit(benchmark::kMicrosecond);

// Reading an index of 100 000 runs, as a sweep does before it starts.
void indexScan100k(benchmark::State& state) {
    const ScratchRoot root;
    const RunRegistry registry(root.path);
    registry.write(atSeed(0));
    std::string line;
    {
        std::ifstream in(root.path / "registry.jsonl");
        std::getline(in, line);
    }
    const std::string seedText = "\"seed\":0,";
    const std::size_t at = line.find(seedText);
    {
        std::ofstream out(root.path / "registry.jsonl", std::ios::binary | std::ios::trunc);
        for (int seed = 0; seed < 100'000; ++seed)
            out << line.substr(0, at) << "\"seed\":" << seed << "," << line.substr(at + seedText.size())
                << "\n";
    }
    std::uint64_t runs = 0;
    for (auto _ : state) {
        std::vector<SkippedIndexLine> skipped;
        registry.scanIndex([&runs](RegistryEntry&, std::uint64_t) { ++runs; }, skipped);
    }
    state.counters["runs"] =
        benchmark::Counter(static_cast<double>(runs), benchmark::Counter::kAvgIterations);
}
BENCHMARK(indexScan100k)->Unit(benchmark::kMillisecond);

}  // namespace
