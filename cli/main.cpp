// vostel: checks declaration files, runs their experiments and sweeps on the
// oscillatory-populations model, and lists and merges run registries.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <iostream>
#include <sstream>
#include <thread>

#include "cli/commands.hpp"
#include "cli/explanations.hpp"
#include "cli/small_commands.hpp"

namespace {

using namespace Core::Cli;

const char* const kExitCodes =
    "Exit status: 0 done, 1 failed (bad file, unknown experiment or parameter, failing run,\n"
    "unwritable output), 2 bad command line, 130 interrupted.";

const char* const kRunFooter =
    "An experiment with a sweep runs every (point, seed) pair and prints the sweep report;\n"
    "one without runs once and prints each branch.\n"
    "\n"
    "Shards: the pairs are numbered p = point index x seeds + seed index, points in\n"
    "expansion order (first axis slowest); pair p belongs to shard (p mod N) + 1. Run each\n"
    "shard with its own registry, merge them with 'vostel registry merge', then run once\n"
    "more with --registry on the merged one: it reuses every run.\n"
    "\n"
    "With --registry a sweep stopped by Ctrl-C or a kill keeps every finished run, and the\n"
    "same command continues from there. Output files are written whole or not at all.";

const char* const kUsageHint = "Run 'vostel --help' or 'vostel COMMAND --help' for usage.\n";

// Paths must name something; an empty one would only fail after the sweep.
const CLI::Validator kNotEmpty(
    [](std::string& text) { return text.empty() ? std::string("must not be empty") : std::string(); }, "",
    "NONEMPTY");

unsigned defaultJobs() { return std::max(1u, std::thread::hardware_concurrency()); }

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Checks and runs declared spiking-network experiments and parameter sweeps.", "vostel"};
    app.require_subcommand(0, 1);
    app.footer(kExitCodes);
    bool version = false;
    app.add_flag("--version", version, "print the tool's version and exit");

    std::vector<std::string> checkFilesArgument;
    CLI::App* check = app.add_subcommand(
        "check",
        "Lex, parse and analyse declaration files for the kvrn runtime; report every error and warning.");
    check->add_option("FILE", checkFilesArgument, "declaration files (.vostel)")->required();
    bool explain = false;
    check->add_flag("--explain", explain,
                    "also print the model each file runs: every quantity, its value and where it came from");
    check->footer(
        "Exit status: 0 when no file has errors (warnings allowed), 1 otherwise, 2 bad command line.");

    RunOptions run;
    run.jobs = defaultJobs();
    std::string shard;
    std::string registry, csv, json, plot;
    CLI::App* runCommand =
        app.add_subcommand("run", "Run one experiment of a declaration file, or its sweep.");
    runCommand->add_option("FILE", run.file, "declaration file (.vostel)")->required();
    runCommand->add_option("-e,--experiment", run.experiment,
                           "experiment to run (default: the file's first)");
    runCommand
        ->add_option("--registry", registry, "run registry to store every run in and reuse stored ones from")
        ->type_name("DIR")
        ->check(kNotEmpty);
    runCommand->add_option("--engine-version", run.engineVersion, "engine version the runs are stored under")
        ->capture_default_str();
    runCommand
        ->add_option("-j,--jobs", run.jobs, "(point, seed) pairs run at once (default: the number of cores)")
        ->check(CLI::Range(1u, 1024u));
    runCommand->add_option("--shard", shard, "run only shard K of N of the pairs (see below)")
        ->type_name("K/N");
    runCommand->add_option("--csv", csv, "write the sweep table as CSV")->type_name("FILE")->check(kNotEmpty);
    runCommand->add_option("--json", json, "write the sweep table as JSON records")
        ->type_name("FILE")
        ->check(kNotEmpty);
    runCommand->add_option("--plot", plot, "draw the sweep as SVG")->type_name("FILE.svg")->check(kNotEmpty);
    CLI::Option* quiet =
        runCommand->add_flag("-q,--quiet", run.quiet, "print neither the report nor progress");
    runCommand
        ->add_flag("--progress", run.progress, "show progress even when standard error is not a terminal")
        ->excludes(quiet);
    runCommand->footer(std::string(kRunFooter) + "\n\n" + kExitCodes);

    std::string listFileArgument;
    CLI::App* listCommand =
        app.add_subcommand("list", "List a file's experiments with their branches, metrics and sweep size.");
    listCommand->add_option("FILE", listFileArgument, "declaration file (.vostel)")->required();

    std::string shell;
    CLI::App* completion = app.add_subcommand(
        "completion", "Print a shell completion script: source <(vostel completion bash).");
    completion->add_option("SHELL", shell, "the shell; bash is the one supported")
        ->required()
        ->check(CLI::IsMember({"bash"}));

    CLI::App* registryCommand = app.add_subcommand("registry", "Inspect and combine run registries.");
    registryCommand->require_subcommand(1);
    RegistryListOptions listing;
    std::string listDirectory;
    bool listJson = false;
    CLI::App* list = registryCommand->add_subcommand(
        "ls", "List the runs a registry holds, with each run's directory below DIR.");
    list->add_option("DIR", listDirectory, "registry directory")->required();
    list->add_option("-e,--experiment", listing.experiment, "only runs of this experiment");
    list->add_option("-b,--branch", listing.branch, "only runs of this branch");
    list->add_flag("--json", listJson, "print JSON records instead of columns");
    std::string diffFirst, diffSecond;
    CLI::App* diff = registryCommand->add_subcommand(
        "diff",
        "Compare two registries: runs in only one of them, and runs whose validity or metrics differ.");
    diff->add_option("A", diffFirst, "first registry directory")->required();
    diff->add_option("B", diffSecond, "second registry directory")->required();
    diff->footer(
        "Exit status: 0 when the registries hold the same runs with the same metrics, 1 when they "
        "differ or one does not read, 2 bad command line.");
    std::string mergeTarget;
    std::vector<std::string> mergeInputs;
    CLI::App* merge = registryCommand->add_subcommand(
        "merge", "Concatenate registries into OUT (appending when it exists); a run on OUT reuses them all.");
    merge->add_option("OUT", mergeTarget, "merged registry directory")->required();
    merge->add_option("IN", mergeInputs, "registries to merge, in order")->required();
    std::string verifyDirectory;
    CLI::App* verify = registryCommand->add_subcommand(
        "verify", "Check every run of a registry against its files; exit status 1 when any is damaged.");
    verify->add_option("DIR", verifyDirectory, "registry directory")->required();

    // A mistyped command would otherwise read as a missing one.
    if (argc > 1 && argv[1][0] != '-' &&
        app.get_subcommands([&](const CLI::App* command) { return command->get_name() == argv[1]; })
            .empty()) {
        std::cerr << "vostel: unknown command '" << argv[1]
                  << "' (commands: check, run, list, registry, completion)\n"
                  << kUsageHint;
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) return app.exit(error);
        std::cerr << "vostel: " << error.what()
                  << "\nRun 'vostel --help' or 'vostel COMMAND --help' for usage.\n";
        return kExitUsage;
    }

    if (version) {
        std::cout << versionText();
        return kExitOk;
    }
    if (app.get_subcommands().empty()) {
        std::cerr << "vostel: A subcommand is required\n" << kUsageHint;
        return kExitUsage;
    }

    // The language's own messages are Czech; an English explanation follows each.
    std::ostringstream errors;
    const auto explained = [&errors](int status) {
        std::cerr << withExplanations(errors.str());
        return status;
    };
    try {
        if (*check) {
            std::ostringstream found;
            const int status = checkFiles(checkFilesArgument, found, explain);
            std::cout << withExplanations(found.str());
            return status;
        }
        if (*listCommand) return listFile(listFileArgument, std::cout);
        if (*completion) {
            std::cout << bashCompletion();
            return kExitOk;
        }
        if (*runCommand) {
            if (!shard.empty()) run.shard = parseShard(shard);
            if (!registry.empty()) run.registry = registry;
            if (!csv.empty()) run.csv = csv;
            if (!json.empty()) run.json = json;
            if (!plot.empty()) run.plot = plot;
            return explained(runExperiment(run, std::cout, errors));
        }
        if (*verify) return verifyRegistry(verifyDirectory, std::cout);
        if (*list) {
            listing.directory = listDirectory;
            listing.json = listJson;
            return listRegistryRuns(listing, std::cout);
        }
        if (*diff) return diffRegistries(diffFirst, diffSecond, std::cout);
        std::vector<std::filesystem::path> inputs(mergeInputs.begin(), mergeInputs.end());
        return mergeRegistries(mergeTarget, inputs, std::cout);
    } catch (const UsageError& error) {
        errors << "vostel: " << error.what() << "\n";
        return explained(kExitUsage);
    } catch (const std::exception& error) {
        errors << "vostel: " << error.what() << "\n";
        return explained(kExitFailure);
    }
}
