#include "cli/small_commands.hpp"

#include <fstream>
#include <iterator>
#include <sstream>

#include "cli/commands.hpp"
#include "cli/run_readiness.hpp"
#include "common/format.hpp"
#include "language/lexer.hpp"
#include "language/loader.hpp"
#include "language/parser.hpp"
#include "language/syntax.hpp"
#include "language/vostel_error.hpp"

namespace Core::Cli {

namespace {

std::string joined(const std::vector<std::string>& items, const std::string& separator = ", ") {
    std::string out;
    for (const std::string& item : items) out += (out.empty() ? "" : separator) + item;
    return out;
}

// phase_jitter(0.5), ablate(oscillators), phase_scramble()
std::string interventionText(const Vostel::InterventionDecl& intervention) {
    std::vector<std::string> arguments = intervention.arguments;
    if (intervention.value) arguments.push_back(formatShort(*intervention.value));
    return intervention.name + "(" + joined(arguments) + ")";
}

std::string branchText(const Vostel::BranchDecl& branch) {
    if (branch.interventions.empty()) return branch.name + " (control)";
    std::vector<std::string> changes;
    for (const Vostel::InterventionDecl& intervention : branch.interventions)
        changes.push_back(interventionText(intervention));
    return branch.name + ": " + joined(changes, " ");
}

std::string sweepText(const Vostel::ExperimentDecl& experiment) {
    const std::uint64_t branches = experiment.branches.size();
    if (!experiment.sweep) return "none; one run of " + std::to_string(branches) + " branches";
    std::uint64_t points = 1;
    std::vector<std::string> axes;
    for (const Vostel::AxisDecl& axis : experiment.sweep->axes) {
        points *= axis.values.size();
        axes.push_back(axis.parameter + " (" + std::to_string(axis.values.size()) + " values)");
    }
    const auto seeds = static_cast<std::uint64_t>(experiment.sweep->seeds);
    return joined(axes, " x ") + ", " + std::to_string(seeds) + " seeds: " + std::to_string(points * seeds) +
           " pairs, " + std::to_string(points * seeds * branches) + " runs";
}

}  // namespace

std::string versionText() {
    return std::string("vostel ") + kToolVersion +
           " (declaration language 2.0, runtime kvrn; runs stored under " + kDefaultEngineVersion +
           " unless --engine-version says otherwise)\n";
}

int listFile(const std::string& file, std::ostream& out) {
    Vostel::Model model;
    try {
        model = Vostel::parseModelFile(file);
    } catch (const Vostel::VostelError& error) {
        throw std::runtime_error(file + ":" + std::to_string(error.line) + ":" +
                                 std::to_string(error.column) + ": " + error.what());
    }
    bool first = true;
    for (const Vostel::ExperimentDecl& experiment : model.experiments) {
        if (!first) out << "\n";
        first = false;
        std::vector<std::string> branches;
        for (const Vostel::BranchDecl& branch : experiment.branches) branches.push_back(branchText(branch));
        out << experiment.name << " (hypothesis " << experiment.hypothesis << ", line " << experiment.line
            << ")\n";
        out << "  branches: " << joined(branches, "; ") << "\n";
        out << "  metrics:  " << joined(experiment.metrics) << "\n";
        out << "  sweep:    " << sweepText(experiment) << "\n";
    }
    if (model.experiments.empty()) out << file << " declares no experiment\n";
    return kExitOk;
}

std::string bashCompletion() {
    return R"BASH(# bash completion for vostel; load with: source <(vostel completion bash)
# Needs nothing but bash itself (the bash-completion package is not required).
_vostel_files() {
    local IFS=$'\n'
    COMPREPLY=($(compgen -o filenames -f -- "$1"))
    compopt -o filenames 2>/dev/null
}
_vostel_directories() {
    local IFS=$'\n'
    COMPREPLY=($(compgen -o dirnames -d -- "$1"))
    compopt -o filenames 2>/dev/null
}
_vostel() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    COMPREPLY=()
    if [[ $COMP_CWORD -eq 1 ]]; then
        COMPREPLY=($(compgen -W "check run list registry completion --help --version" -- "$cur"))
        return
    fi
    case "${COMP_WORDS[1]}" in
        check|list)
            _vostel_files "$cur" ;;
        run)
            case "$prev" in
                --registry) _vostel_directories "$cur"; return ;;
                --csv|--json|--plot) _vostel_files "$cur"; return ;;
                -e|--experiment)
                    local word
                    for word in "${COMP_WORDS[@]:2}"; do
                        if [[ $word == *.vostel && -f $word ]]; then
                            local names
                            names=$(vostel list "$word" 2>/dev/null | sed -n 's/^\([A-Za-z_][A-Za-z0-9_]*\) (hypothesis.*/\1/p')
                            COMPREPLY=($(compgen -W "$names" -- "$cur"))
                            return
                        fi
                    done
                    return ;;
                -j|--jobs|--shard|--engine-version) return ;;
            esac
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "--experiment --registry --engine-version --jobs --shard --csv --json --plot --quiet --progress --help" -- "$cur"))
            else
                _vostel_files "$cur"
            fi ;;
        registry)
            if [[ $COMP_CWORD -eq 2 ]]; then
                COMPREPLY=($(compgen -W "ls merge diff" -- "$cur"))
            elif [[ ${COMP_WORDS[2]} == ls && $cur == -* ]]; then
                COMPREPLY=($(compgen -W "--experiment --branch --json --help" -- "$cur"))
            else
                _vostel_directories "$cur"
            fi ;;
        completion)
            [[ $COMP_CWORD -eq 2 ]] && COMPREPLY=($(compgen -W "bash" -- "$cur")) ;;
    esac
}
complete -F _vostel vostel
)BASH";
}

std::string withExperimentNames(const std::string& message, const std::string& file,
                                const std::string& name) {
    if (name.empty() || message != "unknown experiment " + name) return message;
    try {
        std::vector<std::string> names;
        for (const Vostel::ExperimentDecl& experiment : Vostel::parseModelFile(file).experiments)
            names.push_back(experiment.name);
        return message + " (" + file + " declares " + joined(names) + ")";
    } catch (const std::exception&) {
        return message;
    }
}

std::string withErrorLines(const std::string& message, const std::string& file) {
    const std::string heading = "semantic errors in " + file + ":";
    if (message.rfind(heading, 0) != 0) return message;
    Vostel::Model model;
    try {
        std::ifstream in(file, std::ios::binary);
        model = Vostel::Parser(Vostel::Lexer(std::string(std::istreambuf_iterator<char>(in),
                                                         std::istreambuf_iterator<char>()))
                                   .tokenize())
                    .parseModel();
    } catch (const std::exception&) {
        return message;
    }
    std::istringstream lines(message.substr(heading.size()));
    std::string out = heading;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty()) continue;
        const std::string error = line.rfind("  ", 0) == 0 ? line.substr(2) : line;
        const std::string where = messageLocation(file, model, error);
        out += "\n  " + (where == file ? "" : where + ": ") + error;
    }
    return out;
}

std::string partialReportNote(std::uint64_t shard, std::uint64_t shards) {
    return "\nThis report is partial: it covers shard " + std::to_string(shard) + " of " +
           std::to_string(shards) +
           " only. Merge the shards' registries (vostel registry merge) and run once more on the merged one "
           "for the whole sweep.\n";
}

}  // namespace Core::Cli
