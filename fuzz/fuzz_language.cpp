// The declaration-language front end over arbitrary text: tokenize, parse,
// analyse for every runtime and, where the analysis finds no error, lower
// each experiment. Allowed outcomes are a result, VostelError with a
// position, the literal conversions' std::invalid_argument/std::out_of_range
// and, from lowering, the experiment and sweep validation errors. Anything
// else escaping, a crash, a hang or undefined behaviour is a finding.

#include <stdexcept>
#include <string>

#include "fuzz_support.hpp"
#include "language/lexer.hpp"
#include "language/loader.hpp"
#include "language/parser.hpp"
#include "language/semantic_analyzer.hpp"
#include "language/vostel_error.hpp"

using namespace Core::Vostel;

namespace {

// Analysis never throws for rule violations; lowering validates what the
// analysis let through and may refuse it with the framework's errors.
void analyseAndLower(const Model& model) {
    bool clean = false;
    for (const RuntimeKind runtime : {RuntimeKind::Sync, RuntimeKind::Kvrn, RuntimeKind::Transformer}) {
        const AnalysisResult result = SemanticAnalyzer(model, runtime).analyze();
        if (runtime == RuntimeKind::Kvrn) clean = result.errors.empty();
    }
    if (!clean) return;
    for (const ExperimentDecl& experiment : model.experiments) {
        try {
            (void)lowerExperiment(model, experiment);
            if (experiment.sweep) (void)lowerSweep(*experiment.sweep);
        } catch (const std::invalid_argument&) {
        } catch (const std::runtime_error&) {
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string source(reinterpret_cast<const char*>(data), size);
    Model model;
    try {
        model = Parser(Lexer(source).tokenize()).parseModel();
    } catch (const VostelError& e) {
        Fuzz::require(e.line >= 1 && e.column >= 1, "error without a position");
        return 0;
    } catch (const std::invalid_argument&) {
        return 0;
    } catch (const std::out_of_range&) {
        return 0;
    }
    analyseAndLower(model);
    return 0;
}
