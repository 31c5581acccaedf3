#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "cli/commands.hpp"
#include "cli/model_factory.hpp"
#include "cli/run_readiness.hpp"
#include "experiment/metrics.hpp"
#include "language/lexer.hpp"
#include "language/loader.hpp"
#include "language/parser.hpp"
#include "language/semantic_analyzer.hpp"
#include "language/vostel_error.hpp"

namespace Core::Cli {

namespace {

// What checking one file found, in the order it is printed.
struct Findings {
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
};

std::string at(const std::string& file, std::uint32_t line) { return file + ":" + std::to_string(line); }

// Problems the language rules do not cover but a run would meet: a lowering
// the runner refuses, a metric the runner cannot compute, a sweep parameter
// the model lacks, a curve the runner cannot classify.
void checkRunnable(const std::string& file, const Vostel::Model& model, bool analysedClean,
                   const Vostel::LoweredArchitecture& declared, Findings& found) {
    for (const std::string& error : declared.errors) found.errors.push_back(file + ": error: " + error);
    for (const Vostel::UnexecutedDeclaration& d : declared.unexecuted)
        found.warnings.push_back(at(file, d.line) + ": warning: " + d.what +
                                 " is declared but not executed by the kvrn engine");
    for (const std::string& error : runReadinessErrors(file, model)) found.errors.push_back(error);
    for (const Vostel::ExperimentDecl& experiment : model.experiments) {
        const std::string where = at(file, experiment.line);
        const std::string context = "experiment '" + experiment.name + "'";
        if (analysedClean) {
            try {
                Vostel::lowerExperiment(model, experiment);
                if (experiment.sweep) Vostel::lowerSweep(*experiment.sweep);
            } catch (const std::exception& error) {
                found.errors.push_back(where + ": error: " + context + ": " + error.what());
            }
        }
        if (!experiment.sweep) continue;
        for (const Vostel::AxisDecl& axis : experiment.sweep->axes) {
            if (!modelKnowsParameter(declared, axis.parameter))
                found.warnings.push_back(where + ": warning: " + context + ": the model has no parameter '" +
                                         axis.parameter + "' (it has " + modelParameterList(declared) + ")");
        }
        if (experiment.sweep->axes.size() == 1) {
            const Vostel::AxisDecl& axis = experiment.sweep->axes.front();
            for (std::size_t k = 1; k < axis.values.size(); ++k) {
                if (!(axis.values[k] > axis.values[k - 1])) {
                    found.warnings.push_back(
                        where + ": warning: " + context + ": the values of '" + axis.parameter +
                        "' are not ascending; the sweep runner refuses to classify such a "
                        "curve, and only after running every point");
                    break;
                }
            }
        }
    }
}

// Returns false when the file has errors.
bool checkFile(const std::string& file, std::ostream& out, bool explain) {
    std::string source;
    try {
        source = Vostel::readDeclarationFile(file);
    } catch (const std::exception& error) {
        out << file << ": error: " << error.what() << "\n";
        return false;
    }

    Vostel::Model model;
    try {
        model = Vostel::Parser(Vostel::Lexer(std::move(source)).tokenize()).parseModel();
    } catch (const Vostel::VostelError& error) {
        out << file << ":" << error.line << ":" << error.column << ": " << error.what() << "\n";
        return false;
    } catch (const std::exception& error) {  // a number literal that does not convert
        out << file << ": error: " << error.what() << "\n";
        return false;
    }

    const Vostel::AnalysisResult analysis =
        Vostel::SemanticAnalyzer(model, Vostel::RuntimeKind::Kvrn).analyze();
    Findings found;
    for (const std::string& error : analysis.errors)
        found.errors.push_back(messageLocation(file, model, error) + ": error: " + error);
    for (const std::string& warning : analysis.warnings)
        found.warnings.push_back(messageLocation(file, model, warning) + ": warning: " + warning);
    const Vostel::LoweredArchitecture declared = Vostel::lowerArchitecture(model);
    checkRunnable(file, model, analysis.errors.empty(), declared, found);

    for (const std::string& line : found.errors) out << line << "\n";
    for (const std::string& line : found.warnings) out << line << "\n";
    if (explain) out << explainModel(file, declared);
    return found.errors.empty();
}

}  // namespace

int checkFiles(const std::vector<std::string>& files, std::ostream& out, bool explain) {
    bool clean = true;
    for (const std::string& file : files) clean = checkFile(file, out, explain) && clean;
    return clean ? kExitOk : kExitFailure;
}

}  // namespace Core::Cli
