#include <algorithm>
#include <iostream>
#include <cmath>
#include <map>
#include <system_error>
#include <tuple>

#include "cli/commands.hpp"
#include "cli/small_commands.hpp"
#include "common/format.hpp"
#include "experiment/run_registry.hpp"

namespace Core::Cli {

namespace {

namespace fs = std::filesystem;

struct RegistryMissing : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::vector<Kvrn::RegistryEntry> entriesOf(const fs::path& directory) {
    std::error_code error;
    if (!fs::is_regular_file(directory / "registry.jsonl", error))
        throw RegistryMissing(directory.string() + " holds no run registry (no registry.jsonl)");
    // Lines that do not read as runs are skipped with a warning naming them.
    Kvrn::IndexScan scan = Kvrn::RunRegistry(directory).scanIndex();
    for (const Kvrn::SkippedIndexLine& line : scan.skipped)
        std::cerr << "vostel: warning: " << (directory / "registry.jsonl").string() << " line " << line.line
                  << " skipped: " << line.reason << "\n";
    return std::move(scan.entries);
}

// The run's directory below the registry root, as the registry names it.
std::string runPath(const Kvrn::RegistryEntry& entry) { return entry.directory; }

std::string metricsText(const std::map<std::string, double>& metrics) {
    std::string text;
    for (const auto& [name, value] : metrics)
        text += (text.empty() ? "" : " ") + name + "=" + formatShort(value);
    return text.empty() ? "-" : text;
}

std::string jsonText(const std::string& text) { return "\"" + Kvrn::jsonEscape(text) + "\""; }

std::string jsonNumber(double value) { return std::isfinite(value) ? formatFull(value) : "null"; }

void printColumns(const std::vector<std::vector<std::string>>& rows, std::ostream& out) {
    std::vector<std::size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows)
        for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c)
            line += c + 1 < row.size() ? row[c] + std::string(widths[c] - row[c].size() + 2, ' ') : row[c];
        out << line << "\n";
    }
}

// What makes two stored runs the same run: the registry's reuse identity.
using RunKey =
    std::tuple<std::string, std::string, std::string, std::uint64_t, std::string, std::uint64_t, std::string>;

RunKey keyOf(const Kvrn::RegistryEntry& entry) {
    return {entry.experiment,     entry.point,       entry.branch,         entry.seed,
            entry.engine_version, entry.config_hash, entry.metrics_version};
}

std::string describe(const Kvrn::RegistryEntry& entry) {
    return entry.experiment + "  " + (entry.point.empty() ? "-" : entry.point) + "  " + entry.branch +
           "  seed " + std::to_string(entry.seed) + "  " + entry.engine_version;
}

// Later lines replace earlier ones under the same key, as a sweep's reuse does.
std::map<RunKey, Kvrn::RegistryEntry> byKey(std::vector<Kvrn::RegistryEntry> entries,
                                            std::vector<RunKey>& order) {
    std::map<RunKey, Kvrn::RegistryEntry> map;
    for (Kvrn::RegistryEntry& entry : entries) {
        const RunKey key = keyOf(entry);
        if (map.count(key) == 0) order.push_back(key);
        map[key] = std::move(entry);
    }
    return map;
}

}  // namespace

int listRegistryRuns(const RegistryListOptions& options, std::ostream& out) {
    std::vector<Kvrn::RegistryEntry> entries = entriesOf(options.directory);
    std::erase_if(entries, [&options](const Kvrn::RegistryEntry& entry) {
        return (!options.experiment.empty() && entry.experiment != options.experiment) ||
               (!options.branch.empty() && entry.branch != options.branch);
    });
    if (options.json) {
        out << "[";
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const Kvrn::RegistryEntry& e = entries[i];
            out << (i ? ",\n  " : "\n  ") << "{\"experiment\": " << jsonText(e.experiment)
                << ", \"point\": " << jsonText(e.point) << ", \"branch\": " << jsonText(e.branch)
                << ", \"seed\": " << e.seed << ", \"engine_version\": " << jsonText(e.engine_version)
                << ", \"valid\": " << (e.valid ? "true" : "false") << ", \"path\": " << jsonText(runPath(e))
                << ", \"metrics\": {";
            bool first = true;
            for (const auto& [name, value] : e.metrics) {
                out << (first ? "" : ", ") << jsonText(name) << ": " << jsonNumber(value);
                first = false;
            }
            out << "}}";
        }
        out << (entries.empty() ? "]\n" : "\n]\n");
        return kExitOk;
    }
    std::vector<std::vector<std::string>> rows = {
        {"experiment", "point", "branch", "seed", "engine_version", "valid", "path", "metrics"}};
    for (const Kvrn::RegistryEntry& e : entries)
        rows.push_back({e.experiment, e.point.empty() ? "-" : e.point, e.branch, std::to_string(e.seed),
                        e.engine_version, e.valid ? "yes" : "no", runPath(e), metricsText(e.metrics)});
    printColumns(rows, out);
    return kExitOk;
}

int diffRegistries(const fs::path& first, const fs::path& second, std::ostream& out) {
    std::vector<RunKey> firstOrder;
    std::vector<RunKey> secondOrder;
    const auto a = byKey(entriesOf(first), firstOrder);
    const auto b = byKey(entriesOf(second), secondOrder);
    std::size_t differences = 0;
    for (const RunKey& key : firstOrder) {
        if (b.count(key) == 0) {
            out << "only in " << first.string() << ": " << describe(a.at(key)) << "\n";
            ++differences;
        }
    }
    for (const RunKey& key : secondOrder) {
        if (a.count(key) == 0) {
            out << "only in " << second.string() << ": " << describe(b.at(key)) << "\n";
            ++differences;
        }
    }
    for (const RunKey& key : firstOrder) {
        const auto other = b.find(key);
        if (other == b.end()) continue;
        const Kvrn::RegistryEntry& x = a.at(key);
        const Kvrn::RegistryEntry& y = other->second;
        std::vector<std::string> changes;
        if (x.valid != y.valid)
            changes.push_back(std::string("valid ") + (x.valid ? "yes" : "no") + " / " +
                              (y.valid ? "yes" : "no"));
        std::map<std::string, std::pair<std::string, std::string>> metrics;
        for (const auto& [name, value] : x.metrics) metrics[name].first = formatFull(value);
        for (const auto& [name, value] : y.metrics) metrics[name].second = formatFull(value);
        for (const auto& [name, values] : metrics) {
            if (values.first != values.second)
                changes.push_back(name + " " + (values.first.empty() ? "-" : values.first) + " / " +
                                  (values.second.empty() ? "-" : values.second));
        }
        if (changes.empty()) continue;
        ++differences;
        out << "differs: " << describe(x) << ":";
        for (const std::string& change : changes) out << " " << change << ";";
        out << "\n";
    }
    if (differences == 0) {
        out << "no difference: " << a.size() << " runs in both\n";
        return kExitOk;
    }
    out << differences << " differences (" << first.string() << " / " << second.string() << ")\n";
    return kExitFailure;
}

}  // namespace Core::Cli
