// Writes a run result built from the input with RunRegistry::write, into an
// empty registry or one whose index already holds arbitrary text, and reads
// the index back with loadEntries: the earlier entries are unchanged, and
// every identity field and metric value of the new ones comes back as
// written (a NaN as some NaN). Identity texts may hold
// any bytes; metric names are kept to bytes that JSON escaping leaves alone,
// since the metrics reader takes names verbatim.

#include <fuzzer/FuzzedDataProvider.h>
#include <bit>
#include <cmath>
#include <fstream>
#include <stdexcept>
#include <string>

#include "experiment/run_registry.hpp"
#include "fuzz_support.hpp"
#include "registry_root.hpp"

using namespace Core::Kvrn;

namespace {

constexpr std::size_t kMaxText = 48;  // keeps run directory names within file-system limits

std::string metricName(FuzzedDataProvider& in) {
    std::string name = in.ConsumeRandomLengthString(12);
    for (char& c : name)
        if (c == '"' || c == '\\' || c == '\n' || c == '\r' || c == '\t') c = '_';
    return name;
}

double anyDouble(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
        case 1:  // subnormals and their neighbours
            return std::bit_cast<double>(in.ConsumeIntegralInRange<std::uint64_t>(0, 0x0020000000000000ULL));
        case 2:
            return in.ConsumeFloatingPoint<double>();
        default:
            return in.ConsumeProbability<double>();
    }
}

bool sameValue(double written, double read) {
    if (std::isnan(written)) return std::isnan(read);
    return std::bit_cast<std::uint64_t>(written) == std::bit_cast<std::uint64_t>(read);
}

bool sameIdentity(const RegistryEntry& a, const RegistryEntry& b) {
    return a.experiment == b.experiment && a.branch == b.branch && a.point == b.point &&
           a.point_hash == b.point_hash && a.hypothesis == b.hypothesis &&
           a.theory_version == b.theory_version && a.engine_version == b.engine_version &&
           a.metrics_version == b.metrics_version && a.config_hash == b.config_hash &&
           a.architecture_hash == b.architecture_hash && a.seed == b.seed && a.trials == b.trials &&
           a.duration_ns == b.duration_ns && a.valid == b.valid;
}

bool sameMetrics(const RegistryEntry& a, const RegistryEntry& b) {
    if (a.metrics.size() != b.metrics.size()) return false;
    for (const auto& [name, value] : a.metrics) {
        const auto found = b.metrics.find(name);
        if (found == b.metrics.end() || !sameValue(value, found->second)) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Fuzz::ScratchRoot scratch;
    FuzzedDataProvider in(data, size);

    // Metric names and values first: they are what the reader is most
    // likely to get wrong, so even short inputs reach them.
    ExperimentResult result;
    const int metricCount = in.ConsumeIntegralInRange<int>(1, 4);
    for (int m = 0; m < metricCount; ++m) result.metrics.push_back(metricName(in));
    const int runCount = in.ConsumeIntegralInRange<int>(1, 3);
    result.runs.resize(static_cast<std::size_t>(runCount));
    for (RunRecord& run : result.runs)
        for (const std::string& name : result.metrics)
            if (in.ConsumeBool()) run.metrics[name] = anyDouble(in);

    result.experiment = in.ConsumeRandomLengthString(kMaxText);
    result.outcome = static_cast<Outcome>(in.ConsumeIntegralInRange<int>(0, 3));
    for (RunRecord& run : result.runs) {
        run.experiment = result.experiment;
        run.branch = in.ConsumeRandomLengthString(kMaxText);
        run.point = in.ConsumeRandomLengthString(kMaxText);
        run.point_hash = in.ConsumeIntegral<std::uint64_t>();
        run.hypothesis = in.ConsumeRandomLengthString(kMaxText);
        run.theory_version = in.ConsumeRandomLengthString(kMaxText);
        run.engine_version = in.ConsumeRandomLengthString(kMaxText);
        run.metrics_version = in.ConsumeRandomLengthString(kMaxText);
        run.config_hash = in.ConsumeIntegral<std::uint64_t>();
        run.architecture_hash = in.ConsumeIntegral<std::uint64_t>();
        run.seed = in.ConsumeIntegral<std::uint64_t>();
        run.trials = in.ConsumeIntegral<std::uint64_t>();
        run.duration_ns = in.ConsumeIntegral<std::int64_t>();
        run.valid = in.ConsumeBool();
        for (int p = in.ConsumeIntegralInRange<int>(0, 2); p > 0; --p)
            run.parameters[in.ConsumeRandomLengthString(kMaxText)] = in.ConsumeRandomLengthString(kMaxText);
    }

    const std::string earlierIndex = in.ConsumeBool() ? in.ConsumeRandomLengthString(512) : std::string();

    std::error_code ignored;
    for (const auto& item : std::filesystem::directory_iterator(scratch.path()))
        std::filesystem::remove_all(item.path(), ignored);
    const RunRegistry registry(scratch.path());
    std::vector<RegistryEntry> earlier;
    if (!earlierIndex.empty()) {
        std::ofstream(scratch.path() / "registry.jsonl", std::ios::binary) << earlierIndex;
        try {
            earlier = registry.loadEntries();
        } catch (const std::invalid_argument&) {
            return 0;  // an index that is unreadable already tells nothing
        } catch (const std::out_of_range&) {
            return 0;
        }
    }
    registry.write(result);

    const std::vector<RegistryEntry> entries = registry.loadEntries();
    Fuzz::require(entries.size() == earlier.size() + result.runs.size(), "one index entry per run");
    for (std::size_t i = 0; i < earlier.size(); ++i)
        Fuzz::require(sameIdentity(entries[i], earlier[i]) && sameMetrics(entries[i], earlier[i]),
                      "appending changed an earlier entry");
    for (std::size_t i = 0; i < result.runs.size(); ++i) {
        const RunRecord& w = result.runs[i];
        const RegistryEntry& r = entries[earlier.size() + i];
        Fuzz::require(r.experiment == w.experiment && r.branch == w.branch && r.point == w.point &&
                          r.point_hash == w.point_hash && r.hypothesis == w.hypothesis &&
                          r.theory_version == w.theory_version && r.engine_version == w.engine_version &&
                          r.metrics_version == w.metrics_version && r.config_hash == w.config_hash &&
                          r.architecture_hash == w.architecture_hash && r.seed == w.seed &&
                          r.trials == w.trials && r.duration_ns == w.duration_ns && r.valid == w.valid,
                      "an identity field did not survive the round trip");
        Fuzz::require(r.metrics.size() == w.metrics.size(), "metric count changed");
        for (const auto& [name, value] : w.metrics) {
            const auto found = r.metrics.find(name);
            Fuzz::require(found != r.metrics.end(), "a metric was lost");
            Fuzz::require(sameValue(value, found->second), "a metric value changed");
        }
    }
    return 0;
}
