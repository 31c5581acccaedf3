#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

// The subcommands of the vostel tool. Each writes its product to `out` and
// its diagnostics to `err`, and returns the process exit status.
namespace Core::Cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the work failed: a bad file, a failing run, an unwritable output
inline constexpr int kExitUsage = 2;    // the command line itself is wrong
inline constexpr int kExitInterrupted = 130;  // stopped by SIGINT or SIGTERM; what was finished is stored

// A command line that cannot be carried out as written (exit status 2).
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The engine version runs are stored under unless --engine-version says otherwise.
inline constexpr const char* kDefaultEngineVersion = "kvrn-2.0.0-beta.2";

struct Shard {
    std::uint64_t index = 1;  // 1-based
    std::uint64_t count = 1;
};

// "K/N" with 1 <= K <= N; throws UsageError otherwise.
Shard parseShard(const std::string& text);

// vostel check [--explain] FILE...; with `explain`, each file that parses is
// followed by the model it runs.
int checkFiles(const std::vector<std::string>& files, std::ostream& out, bool explain = false);

struct RunOptions {
    std::string file;
    std::string experiment;  // empty: the file's first experiment
    std::optional<std::filesystem::path> registry;
    std::string engineVersion = kDefaultEngineVersion;
    unsigned jobs = 1;
    std::optional<Shard> shard;
    std::optional<std::filesystem::path> csv;
    std::optional<std::filesystem::path> json;
    std::optional<std::filesystem::path> plot;
    bool quiet = false;     // no report, no progress
    bool progress = false;  // progress even when standard error is not a terminal
};

// vostel run FILE [options]
int runExperiment(const RunOptions& options, std::ostream& out, std::ostream& err);


// vostel registry merge OUT IN...
int mergeRegistries(const std::filesystem::path& target, const std::vector<std::filesystem::path>& inputs,
                    std::ostream& out);

// vostel registry verify DIR: checks every index line against its run's
// files and lists the damaged runs; exit status 1 when there is any.
int verifyRegistry(const std::filesystem::path& directory, std::ostream& out);

}  // namespace Core::Cli
