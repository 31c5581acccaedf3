#include <algorithm>
#include <fstream>
#include <iterator>
#include <system_error>

#include "cli/commands.hpp"
#include "cli/output_file.hpp"
#include "common/format.hpp"
#include "experiment/run_registry.hpp"

namespace Core::Cli {

namespace {

namespace fs = std::filesystem;

const char* const kIndexName = "registry.jsonl";

struct RegistryError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The registry's entries; throws RegistryError when `directory` holds no index
// or the index does not read.
std::vector<Kvrn::RegistryEntry> readRegistry(const fs::path& directory) {
    std::error_code error;
    if (!fs::is_regular_file(directory / kIndexName, error))
        throw RegistryError(directory.string() + " holds no run registry (no " + kIndexName + ")");
    try {
        return Kvrn::RunRegistry(directory).loadEntries();
    } catch (const std::exception& failure) {
        throw RegistryError((directory / kIndexName).string() + " does not read: " + failure.what());
    }
}

// Copies every run directory of `from` into `to`, replacing files of the same
// name (the registry itself overwrites a run written twice the same way).
void copyRunFiles(const fs::path& from, const fs::path& to) {
    for (const fs::directory_entry& entry : fs::directory_iterator(from)) {
        if (entry.path().filename() == kIndexName) continue;
        fs::copy(entry.path(), to / entry.path().filename(),
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    }
}

}  // namespace

int listRegistry(const fs::path& directory, std::ostream& out) {
    const std::vector<Kvrn::RegistryEntry> entries = readRegistry(directory);
    std::vector<std::vector<std::string>> rows = {
        {"experiment", "point", "branch", "seed", "engine_version", "valid", "metrics"}};
    for (const Kvrn::RegistryEntry& entry : entries) {
        std::string metrics;
        for (const auto& [name, value] : entry.metrics)
            metrics += (metrics.empty() ? "" : " ") + name + "=" + formatShort(value);
        rows.push_back({entry.experiment, entry.point.empty() ? "-" : entry.point, entry.branch,
                        std::to_string(entry.seed), entry.engine_version, entry.valid ? "yes" : "no",
                        metrics.empty() ? "-" : metrics});
    }
    std::vector<std::size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows)
        for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c)
            line += c + 1 < row.size() ? row[c] + std::string(widths[c] - row[c].size() + 2, ' ') : row[c];
        out << line << "\n";
    }
    return kExitOk;
}

int mergeRegistries(const fs::path& target, const std::vector<fs::path>& inputs, std::ostream& out) {
    // Everything is read and checked before anything is written.
    std::error_code error;
    std::size_t runs = 0;
    for (const fs::path& input : inputs) {
        runs += readRegistry(input).size();
        if (fs::exists(target, error) && fs::equivalent(target, input, error))
            throw UsageError("the merged registry " + target.string() + " must not be one of its inputs");
    }
    // Joined line by line, so that a partial last line of one registry (a
    // killed writer's) cannot end up inside the merged index.
    std::string index;
    const auto appendIndex = [&index](const fs::path& registry) {
        for (const std::string& line : Kvrn::RunRegistry(registry).indexLines()) index += line + "\n";
    };
    if (fs::exists(target / kIndexName, error)) {
        readRegistry(target);
        appendIndex(target);
    }
    for (const fs::path& input : inputs) appendIndex(input);

    // Run files first, the index last: until the index names a run, a
    // registry reader does not see it, so a merge cut short leaves the
    // target as it was.
    fs::create_directories(target);
    for (const fs::path& input : inputs) copyRunFiles(input, target);
    writeFileAtomically(target / kIndexName, index);
    out << "merged " << runs << " runs from " << inputs.size() << " registries into " << target.string()
        << "\n";
    return kExitOk;
}

}  // namespace Core::Cli
