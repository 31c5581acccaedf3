#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

// The tool's smaller commands and messages: its version, the summary of a
// declaration file, the bash completion script, run-registry listings and
// differences, and the notes a run adds to its output.
namespace Core::Cli {

// The tool's own release; the engine version runs are stored under is separate.
inline constexpr const char* kToolVersion = "0.1.0";

// "vostel 0.1.0 (...)" with a line feed: what --version prints.
std::string versionText();

// vostel list FILE: per experiment its hypothesis, branches with their
// interventions, metrics and sweep size (points, seeds, pairs and runs).
int listFile(const std::string& file, std::ostream& out);

// vostel completion bash: a bash completion script for the tool.
std::string bashCompletion();

// `message` with the file's experiment names appended when it is the
// loader's "unknown experiment NAME"; otherwise (or when the file does not
// read) `message` unchanged.
std::string withExperimentNames(const std::string& message, const std::string& file, const std::string& name);

// `message` with the line of each analysis error it lists ("semantic errors
// in FILE:" then one error a line) put in front of the error as "FILE:LINE: ",
// where the error's declaration has a line; otherwise `message` unchanged.
std::string withErrorLines(const std::string& message, const std::string& file);

// The line a shard's run prints below its report: the report covers only
// shard K of N.
std::string partialReportNote(std::uint64_t shard, std::uint64_t shards);

struct RegistryListOptions {
    std::filesystem::path directory;
    std::string experiment;  // empty: every experiment
    std::string branch;      // empty: every branch
    bool json = false;       // JSON records instead of aligned columns
};

// vostel registry ls DIR [--experiment NAME] [--branch NAME] [--json]: one
// row per run with its directory relative to DIR.
int listRegistryRuns(const RegistryListOptions& options, std::ostream& out);

// vostel registry diff A B: runs stored in only one of the two, and runs in
// both whose validity or metrics differ. Exit 0 when there is no difference,
// 1 when there is one (as diff(1) does).
int diffRegistries(const std::filesystem::path& first, const std::filesystem::path& second,
                   std::ostream& out);

}  // namespace Core::Cli
