#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/model_time.hpp"
#include "experiment/experiment_runner.hpp"

// The on-disk record of every run: one directory per run with its metadata,
// spikes, states, synapse log and metrics, and an append-only index
// (registry.jsonl, one JSON line per run) that sweeps read back to reuse runs
// of identical identity. The formats are hand-written; the reader
// understands what the writer produces and no more.
namespace Core::Kvrn {

// A run's identity as read back from the index. `parameters` is never filled
// by reading; `metrics` only by loadEntries.
struct RegistryEntry {
    std::string experiment;
    std::string branch;
    std::string point;
    std::uint64_t point_hash = 0;
    std::string hypothesis;
    std::string theory_version;
    std::string engine_version;
    std::string metrics_version;
    std::uint64_t config_hash = 0;
    std::uint64_t architecture_hash = 0;
    std::uint64_t seed = 0;
    std::uint64_t trials = 0;
    ModelTime duration_ns = 0;
    std::map<std::string, std::string> parameters;
    bool valid = false;
    std::map<std::string, double> metrics;
    // The run's directory relative to the root, "/"-separated: root/E[/P]/B,
    // or the directory the index line names when the run was stored beside
    // a run of another identity that holds that place.
    std::string directory;
};

// A line of the index that does not read as a run, and why.
struct SkippedIndexLine {
    std::uint64_t line = 0;  // 1-based line number in the index
    std::string reason;
};

// What a tolerant read of the index found: the runs in file order, the
// 1-based line number of each, and the lines that were skipped.
struct IndexScan {
    std::vector<RegistryEntry> entries;  // with metrics
    std::vector<std::uint64_t> lines;    // one per entry
    std::vector<SkippedIndexLine> skipped;
};

// A stored run whose files do not agree with its index line.
struct DamagedRun {
    std::uint64_t line = 0;  // 1-based line number in the index
    std::string directory;   // relative to the root
    std::string problem;
};

// The scratch directory a registry stages runs in (defined with the registry).
class StagingArea;

// The files of one experiment's runs, written ahead of time into a private
// scratch directory inside a registry, waiting to be committed there.
// Staging takes no lock on the index, so several threads or processes may
// stage at once; the commit then only moves each finished run directory into
// its place and appends its index line. A staged write that is dropped uncommitted removes
// its runs from the scratch directory.
class StagedWrite {
  public:
    StagedWrite();
    StagedWrite(StagedWrite&&) noexcept;
    StagedWrite& operator=(StagedWrite&&) noexcept;
    StagedWrite(const StagedWrite&) = delete;
    StagedWrite& operator=(const StagedWrite&) = delete;
    ~StagedWrite();

    // The number of runs staged.
    std::size_t size() const;

  private:
    friend class RunRegistry;
    struct Runs;
    std::unique_ptr<Runs> runs_;
};

class RunRegistry {
  public:
    // Throws InvalidExperiment when `root` is empty.
    explicit RunRegistry(std::filesystem::path root);

    const std::filesystem::path& root() const { return root_; }

    // Writes every run of `result` under root/E[/P]/B (metadata.json,
    // events.csv, states.csv, synapses.csv, metrics.json, and for a run
    // outside its matched controls controls.json with every check) and
    // appends one index line per run once its files are complete, each with
    // a single write call. A copy of the same identity is overwritten; when
    // the directory holds a run of another identity, the run goes to
    // root/E[/P]/B-<identity digest> instead and its index line names that
    // directory. The whole write holds an exclusive lock on the index, so
    // several processes may write one registry at once; a partial last line
    // that a killed writer left in the index is removed first. Returns the
    // run files written, in writing order. Throws the standard file-system
    // error when a directory cannot be created and InvalidExperiment, naming
    // the file and the cause, when a file cannot be written.
    std::vector<std::filesystem::path> write(const ExperimentResult& result) const;

    // The two halves of write, for writers that build runs on several
    // threads: stage writes every run's files into a scratch directory below
    // the root (not a run directory, never named by the index); commit moves
    // them to their places and appends the index lines exactly as write
    // does. Staging throws the standard file-system error when the root
    // cannot be created and InvalidExperiment when a file cannot be written.
    StagedWrite stage(const ExperimentResult& result) const;
    std::vector<std::filesystem::path> commit(StagedWrite staged) const;

    // Removes the scratch directories that writers killed between staging
    // and commit left below the root; a staging in progress is left alone.
    // Write does this after its own runs; the sweep runner before it reads
    // the index.
    void removeAbandonedScratch() const;

    // Index entries without metrics, in file order; empty when there is no
    // index. Malformed numbers throw the standard conversion errors. A last
    // line without its line feed that is not a whole JSON object (a killed
    // writer's partial append) is not an entry.
    std::vector<RegistryEntry> readIndex() const;

    // As readIndex, with each entry's metrics.
    std::vector<RegistryEntry> loadEntries() const;

    // The index lines that readIndex reads, in file order, without their
    // line feeds: blank lines and a killed writer's partial last line are
    // left out. Joining registries line by line keeps every reader's view.
    std::vector<std::string> indexLines() const;

    // The index read line by line: a line that does not read as a run is
    // skipped and reported with its line number instead of ending the read.
    IndexScan scanIndex() const;

    // The same reading without keeping the entries: visit(entry, line) is
    // called for each run in file order (the entry may be moved from), and
    // the skipped lines are appended to `skipped`. Memory stays that of one
    // line, however long the index.
    void scanIndex(const std::function<void(RegistryEntry& entry, std::uint64_t line)>& visit,
                   std::vector<SkippedIndexLine>& skipped) const;

    // root / entry.directory.
    std::filesystem::path runDirectory(const RegistryEntry& entry) const;

    // True when every file of the run in `directory` (relative to the root,
    // as RegistryEntry::directory) exists; one stat per file, nothing is read.
    bool runFilesPresent(const std::string& directory) const;

    // The matched-control checks stored with a run in `directory` that fell
    // outside them; nothing when the file is missing or does not read.
    std::optional<std::vector<ControlCheck>> storedControls(const std::string& directory) const;

    // Adds every run of `source` to this registry, holding the index lock:
    // the run's files are copied (regular files only, never through a
    // symbolic link or from outside `source`) to the run's place here, or
    // beside a run of another identity that holds that place, and its index
    // line is appended, naming the new place when it moved. Index lines of
    // `source` that do not read are not merged; they are returned. Returns
    // through `merged` the number of runs added.
    std::vector<SkippedIndexLine> mergeFrom(const RunRegistry& source, std::uint64_t& merged) const;

    // Every index line checked against its run's files: a line that does
    // not read, a missing file, metadata.json or metrics.json that disagrees
    // with the index line, a run outside its controls without its checks.
    // Runs in index order; an empty list when every run is intact.
    std::vector<DamagedRun> verify() const;

  private:
    std::filesystem::path root_;
    // Made with the first staged run, shared by the copies of this object,
    // removed with the last of them.
    std::shared_ptr<StagingArea> staging_;
};

// Every byte other than an ASCII letter, digit, "_" or "-" becomes "_"; an
// empty name becomes "unnamed".
std::string safePathComponent(const std::string& name);

// Escapes ", \, line feed, carriage return and tab; every other byte is kept.
std::string jsonEscape(const std::string& text);

// The run's identity and parameters as one JSON object, without a line feed.
std::string metadataLine(const RunRecord& run);

}  // namespace Core::Kvrn
