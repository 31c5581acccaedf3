#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "cli/commands.hpp"
#include "cli/model_factory.hpp"
#include "cli/output_file.hpp"
#include "cli/parallel_executor.hpp"
#include "cli/progress.hpp"
#include "cli/small_commands.hpp"
#include "cli/sweep_plot.hpp"
#include "cli/table_export.hpp"
#include "common/format.hpp"
#include "experiment/run_registry.hpp"
#include "language/loader.hpp"
#include "language/vostel_error.hpp"
#include "sweep/contrast.hpp"
#include "sweep/report.hpp"
#include "sweep/sweep_runner.hpp"

namespace Core::Cli {

namespace {

// Set by SIGINT or SIGTERM while a sweep runs; the executors stop starting
// pairs when they see it. A lock-free atomic store is safe in a handler.
std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void requestStop(int) { stopRequested.store(true); }

// Turns the first SIGINT or SIGTERM into a stop request for its lifetime;
// the handler resets itself, so a second signal ends the process at once.
class StopOnSignal {
  public:
    StopOnSignal() {
        stopRequested.store(false);
        struct sigaction action {};
        action.sa_handler = requestStop;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND;
        sigaction(SIGINT, &action, &previousInt_);
        sigaction(SIGTERM, &action, &previousTerm_);
    }
    ~StopOnSignal() {
        sigaction(SIGINT, &previousInt_, nullptr);
        sigaction(SIGTERM, &previousTerm_, nullptr);
    }
    StopOnSignal(const StopOnSignal&) = delete;
    StopOnSignal& operator=(const StopOnSignal&) = delete;

  private:
    struct sigaction previousInt_ {};
    struct sigaction previousTerm_ {};
};

// A label and its blanks, `width` characters, so the values line up.
std::string padded(const std::string& label, std::size_t width = 22) {
    return label + std::string(label.size() < width ? width - label.size() : 1, ' ');
}

// One experiment's result for people: per branch the spike count, the rate,
// the matched-control checks and the metrics, then the outcome.
std::string renderExperiment(const Kvrn::ExperimentResult& result, const Kvrn::ExperimentSpec& spec,
                             const std::string& engineVersion) {
    std::string out;
    out += padded("Experiment:") + result.experiment + "\n";
    out += padded("Hypothesis:") + result.hypothesis + "\n";
    out += padded("Seed:") + std::to_string(spec.seed) + "\n";
    out += padded("Engine version:") + engineVersion + "\n";
    // Branch lines align on the longest label among them.
    std::size_t width = std::string("firing rate:").size();
    for (const std::string& metric : result.metrics)
        width = std::max(width, ("metric " + metric + ":").size());
    width += 2;
    for (const Kvrn::RunRecord& run : result.runs) {
        out += "\nBranch " + run.branch + "\n";
        out += "  " + padded("spike count:", width) + std::to_string(run.statistics.spike_count) + "\n";
        out += "  " + padded("firing rate:", width) + formatShort(run.statistics.firing_rate) +
               " spikes per second per neuron\n";
        for (const Kvrn::ControlCheck& check : run.control_checks) {
            out += "  " + padded("control:", width) + Kvrn::controlStatisticName(check.statistic) + " " +
                   formatShort(check.branch_value) + " against " + formatShort(check.control_value) +
                   " in the control, deviation " + formatShort(check.deviation) + ", tolerance " +
                   formatShort(check.tolerance) + (check.within ? ", within" : ", OUTSIDE") + "\n";
        }
        for (const std::string& metric : result.metrics) {
            const auto found = run.metrics.find(metric);
            if (found != run.metrics.end())
                out += "  " + padded("metric " + metric + ":", width) + formatShort(found->second) + "\n";
        }
        if (!run.valid) out += "  not evaluated: a matched control is outside its tolerance\n";
    }
    out += "\n" + padded("Outcome:") + Kvrn::outcomeName(result.outcome) + "\n";
    out += padded("Reason:") + result.reason + "\n";
    out += "\n" + padded("Prediction:") + result.prediction + "\n";
    out += padded("Null:") + result.null + "\n";
    out += padded("Falsification:") + result.falsification + "\n";
    return out;
}

int runOnce(const Vostel::LoadedExperiment& loaded, const RunOptions& options, std::ostream& out) {
    if (options.shard || options.csv || options.json || options.plot)
        throw UsageError("--shard, --csv, --json and --plot need an experiment with a sweep; experiment " +
                         loaded.spec.name + " has none");
    const Kvrn::ExperimentRunner runner(options.engineVersion, Kvrn::MetricRegistry());
    const auto model = newModel(loaded.architecture.architecture);
    const Kvrn::ExperimentResult result = runner.run(loaded.spec, *model, Kvrn::DecisionRule{});
    if (options.registry) Kvrn::RunRegistry(*options.registry).write(result);
    if (!options.quiet) out << renderExperiment(result, loaded.spec, options.engineVersion);
    return kExitOk;
}

// Refuses, before anything runs, an output that would overwrite the
// declaration file, a file of the run registry or another output of the
// same command (paths compared as the file system resolves them, symbolic
// links included), and an output that could not be written at all.
void checkOutputs(const RunOptions& options) {
    const std::filesystem::path input = resolvedPath(options.file);
    std::vector<std::pair<std::string, std::filesystem::path>> files;  // flag, resolved path
    const std::pair<const char*, const std::optional<std::filesystem::path>&> outputs[] = {
        {"--csv", options.csv}, {"--json", options.json}, {"--plot", options.plot}};
    for (const auto& [flag, path] : outputs) {
        if (!path) continue;
        const std::string named = std::string(flag) + " " + path->string();
        requireWritableOutput(*path);
        if (isStreamOutput(*path)) continue;  // written into, never replaced
        const std::filesystem::path resolved = resolvedPath(*path);
        if (resolved == input)
            throw UsageError(named + " is the declaration file being run; it would be overwritten");
        if (options.registry && isWithin(resolved, *options.registry))
            throw UsageError(named + " lies inside the run registry " + options.registry->string() +
                             ", whose files it would replace; write it elsewhere");
        for (const auto& [otherFlag, other] : files)
            if (other == resolved)
                throw UsageError(named + " is the same file as " + otherFlag +
                                 "; each output needs its own file");
        files.emplace_back(flag, resolved);
    }
}

// Under the report, only when there is something to say: every run outside
// its matched controls with each check (statistic, value in the branch and
// in the control, deviation, tolerance), the count of every run this call
// executed, valid or not, and the stored runs executed again because their
// files were missing.
std::string renderRunAccount(const Kvrn::SweepResult& result) {
    std::string out;
    if (result.missingStoredRuns > 0)
        out += "\nRuns executed again: " + std::to_string(result.missingStoredRuns) +
               " stored runs are listed in the registry index but their files are missing\n";
    if (result.invalidRuns.empty()) return out;
    const std::uint64_t reusedInvalid = result.invalidRuns.size() - result.invalidExecutedRuns;
    out += "\nRuns executed:        " + std::to_string(result.executedRuns + result.invalidExecutedRuns) +
           " (" + std::to_string(result.executedRuns) + " valid, " +
           std::to_string(result.invalidExecutedRuns) + " outside their matched controls)\n";
    out += "Invalid runs:         " + std::to_string(result.invalidRuns.size()) + " (" +
           std::to_string(result.invalidExecutedRuns) + " executed, " + std::to_string(reusedInvalid) +
           " reused from the registry), left out of every summary:\n";
    std::vector<std::vector<std::string>> rows = {{"point", "seed", "branch", "control", "branch value",
                                                   "control value", "deviation", "tolerance", "run"}};
    for (const Kvrn::InvalidRun& run : result.invalidRuns) {
        for (const Kvrn::ControlCheck& check : run.checks) {
            if (check.within) continue;
            rows.push_back({run.point, std::to_string(run.seed), run.branch,
                            Kvrn::controlStatisticName(check.statistic), formatShort(check.branch_value),
                            formatShort(check.control_value), formatShort(check.deviation),
                            formatShort(check.tolerance), run.reused ? "reused" : "executed"});
        }
    }
    std::vector<std::size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows)
        for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    for (const auto& row : rows) {
        std::string line = " ";
        for (std::size_t c = 0; c < row.size(); ++c)
            line +=
                " " + row[c] + (c + 1 < row.size() ? std::string(widths[c] - row[c].size() + 1, ' ') : "");
        out += line + "\n";
    }
    return out;
}

// Refuses, before anything runs, a sweep that could not finish or be drawn.
void checkSweepBeforeRunning(const Kvrn::ExperimentSpec& spec, const Kvrn::SweepDeclaration& sweep,
                             const RunOptions& options) {
    if (sweep.axes.size() == 1) {
        const std::vector<double>& values = sweep.axes.front().values;
        for (std::size_t k = 1; k < values.size(); ++k) {
            if (!(values[k] > values[k - 1]))
                throw Kvrn::InvalidSweep("the values of '" + sweep.axes.front().name + "' in experiment " +
                                         spec.name +
                                         " are not ascending, so the curve could not be classified; "
                                         "write them in ascending order");
        }
    }
    if (options.plot) {
        const std::string refusal = plotRefusal(sweep.axes.size());
        if (!refusal.empty()) throw UsageError("--plot: " + refusal);
    }
    Kvrn::checkedPairCount(sweep);
    checkOutputs(options);
}

int runSweep(const Vostel::LoadedExperiment& loaded, const RunOptions& options, std::ostream& out,
             std::ostream& err) {
    const Kvrn::SweepDeclaration& sweep = *loaded.sweep;
    checkSweepBeforeRunning(loaded.spec, sweep, options);

    std::optional<Kvrn::RunRegistry> registry;
    if (options.registry) registry.emplace(*options.registry);
    const Kvrn::SweepRunner runner(Kvrn::ExperimentRunner(options.engineVersion, Kvrn::MetricRegistry()),
                                   registry ? &*registry : nullptr);

    Kvrn::SweepOptions sweepOptions;
    sweepOptions.executor =
        options.jobs > 1 ? threadPoolExecutor(options.jobs, &stopRequested) : serialExecutor(&stopRequested);
    if (options.shard) {
        const Shard shard = *options.shard;
        sweepOptions.filter = [shard](std::uint64_t pair) {
            return Kvrn::pairInShard(pair, shard.index, shard.count);
        };
    }
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    std::optional<ProgressDisplay> progress;
    if (!options.quiet && (options.progress || terminal)) {
        progress.emplace(stderr, terminal);
        sweepOptions.progress = [&progress](std::uint64_t done, std::uint64_t total, std::uint64_t reused) {
            progress->update(done, total, reused);
        };
    }

    Kvrn::SweepResult result;
    try {
        const StopOnSignal stopOnSignal;
        result = runner.run(loaded.spec, sweep, modelFactory(loaded.architecture), Kvrn::DecisionRule{},
                            sweepOptions);
        for (const Kvrn::SkippedIndexLine& skipped : result.skippedIndexLines)
            err << "vostel: warning: " << (registry->root() / "registry.jsonl").string() << " line "
                << skipped.line << " skipped: " << skipped.reason << "\n";
    } catch (const SweepInterrupted&) {
        if (progress) progress->finish();
        err << "vostel: interrupted; "
            << (registry ? "the finished runs are stored in " + registry->root().string() +
                               ", and the same command continues from there"
                         : std::string("nothing was stored (no --registry)"))
            << "\n";
        return kExitInterrupted;
    } catch (...) {
        if (progress) progress->finish();
        throw;
    }
    if (progress) progress->finish();

    const std::vector<Kvrn::PairedContrast> contrasts = Kvrn::pairedContrasts(result);
    if (!options.quiet) {
        out << Kvrn::renderSweepReport(result) << renderRunAccount(result)
            << Kvrn::renderContrastReport(contrasts);
        if (options.shard) out << partialReportNote(options.shard->index, options.shard->count);
        out << std::flush;
    }
    if (options.csv) writeOutputFile(*options.csv, sweepTableCsv(result));
    if (options.json) writeOutputFile(*options.json, sweepTableJson(result));
    // The contrast table sits beside each sweep table (s1.csv -> s1.contrast.csv);
    // a table written into a stream or device has no place beside it.
    const auto besideFile = [](const std::filesystem::path& table) {
        std::error_code error;
        return !std::filesystem::exists(table, error) || std::filesystem::is_regular_file(table, error);
    };
    if (options.csv && !contrasts.empty() && besideFile(*options.csv))
        writeOutputFile(contrastTablePath(*options.csv), contrastTableCsv(result.axes, contrasts));
    if (options.json && !contrasts.empty() && besideFile(*options.json))
        writeOutputFile(contrastTablePath(*options.json), contrastTableJson(contrasts));
    if (options.plot) writeOutputFile(*options.plot, sweepPlotSvg(result));
    return kExitOk;
}

}  // namespace

Shard parseShard(const std::string& text) {
    const auto number = [](const std::string& digits, std::uint64_t& value) {
        if (digits.empty() || digits.size() > 9 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        value = std::stoull(digits);
        return true;
    };
    const std::size_t slash = text.find('/');
    Shard shard;
    if (slash == std::string::npos || !number(text.substr(0, slash), shard.index) ||
        !number(text.substr(slash + 1), shard.count) || shard.index < 1 || shard.index > shard.count)
        throw UsageError("--shard takes K/N, shard K of N with 1 <= K <= N, not '" + text + "'");
    return shard;
}

int runExperiment(const RunOptions& options, std::ostream& out, std::ostream& err) {
    Vostel::LoadedExperiment loaded;
    try {
        loaded = Vostel::loadExperiment(options.file, options.experiment);
    } catch (const Kvrn::InvalidExperiment& error) {
        throw Kvrn::InvalidExperiment(
            withErrorLines(withExperimentNames(error.what(), options.file, options.experiment), options.file));
    } catch (const Vostel::VostelError& error) {
        err << options.file << ":" << error.line << ":" << error.column << ": " << error.what() << "\n";
        return kExitFailure;
    }
    refuseUnrunnable(options.file, loaded);
    return loaded.sweep ? runSweep(loaded, options, out, err) : runOnce(loaded, options, out);
}

}  // namespace Core::Cli
