#include <algorithm>
#include <fstream>
#include <iostream>
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

// Throws RegistryError unless `directory` holds an index.
void requireIndex(const fs::path& directory) {
    std::error_code error;
    if (!fs::is_regular_file(directory / kIndexName, error))
        throw RegistryError(directory.string() + " holds no run registry (no " + kIndexName + ")");
}

// Tells, on standard error, each index line that was skipped.
void warnSkipped(const fs::path& directory, const std::vector<Kvrn::SkippedIndexLine>& skipped) {
    for (const Kvrn::SkippedIndexLine& line : skipped)
        std::cerr << "vostel: warning: " << (directory / kIndexName).string() << " line " << line.line
                  << " skipped: " << line.reason << "\n";
}

}  // namespace

int mergeRegistries(const fs::path& target, const std::vector<fs::path>& inputs, std::ostream& out) {
    // Everything is checked before anything is written. Paths are compared
    // as the file system resolves them, so a link or a "../" does not hide
    // a registry inside another.
    std::error_code error;
    for (const fs::path& input : inputs) {
        requireIndex(input);
        if (fs::exists(target, error) && fs::equivalent(target, input, error))
            throw UsageError("the merged registry " + target.string() + " must not be one of its inputs");
        if (isWithin(target, input))
            throw UsageError("the merged registry " + target.string() + " lies inside its input " +
                             input.string() + "; it would copy into itself");
        if (isWithin(input, target))
            throw UsageError("the input " + input.string() + " lies inside the merged registry " +
                             target.string() + "; merge into a directory of its own");
    }

    // Run by run: each run's files are copied before its index line is
    // appended, so a merge cut short leaves only whole runs behind. A run
    // that would land on a run of another identity is put beside it.
    const Kvrn::RunRegistry merged(target);
    std::uint64_t runs = 0;
    for (const fs::path& input : inputs) {
        std::uint64_t added = 0;
        warnSkipped(input, merged.mergeFrom(Kvrn::RunRegistry(input), added));
        runs += added;
    }
    out << "merged " << runs << " runs from " << inputs.size() << " registries into " << target.string()
        << "\n";
    return kExitOk;
}

int verifyRegistry(const fs::path& directory, std::ostream& out) {
    requireIndex(directory);
    const Kvrn::RunRegistry registry(directory);
    const std::vector<Kvrn::DamagedRun> damaged = registry.verify();
    const std::size_t lines = registry.indexLines().size();
    for (const Kvrn::DamagedRun& run : damaged)
        out << (directory / kIndexName).string() << ":" << run.line << ": "
            << (run.directory.empty() ? std::string() : run.directory + ": ") << run.problem << "\n";
    if (damaged.empty()) {
        out << "all " << lines << " runs of " << directory.string() << " are intact\n";
        return kExitOk;
    }
    out << damaged.size() << " of " << lines << " index lines of " << directory.string()
        << " name damaged runs; a sweep executes them again\n";
    return kExitFailure;
}

}  // namespace Core::Cli
