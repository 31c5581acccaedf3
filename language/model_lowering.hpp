#pragma once

#include "experiment/model_architecture.hpp"
#include "language/syntax.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// From the architecture declarations of a file to the oscillatory-populations
// model the kvrn engine runs: the oscillator, its phase modulation, the
// hazard neuron's fields and the population's group sizes become a
// ModelArchitecture; everything else a file can declare is listed as not
// executed, so that nothing is silently ignored.
namespace Core::Vostel {

// One quantity of the model as it will run.
struct ModelQuantity {
    std::string path;        // the declared path ("theta.frequency"), or "-" when nothing could declare it
    std::string quantity;    // what it is in the model
    std::string value;       // the value as it will run, with its unit
    std::uint32_t line = 0;  // the declaring line; 0 for a default
};

// A declaration the engine does not execute.
struct UnexecutedDeclaration {
    std::string what;  // "connect a -> b in population 'p'", "runtime \"nest\"", ...
    std::uint32_t line = 0;
};

struct LoweredArchitecture {
    Kvrn::ModelArchitecture architecture;
    std::vector<ModelQuantity> quantities;          // every declarable quantity, in a fixed order
    std::vector<UnexecutedDeclaration> unexecuted;  // in line order
    // A declared value the model cannot take, as "line N: ..."; the
    // architecture then keeps the default for it.
    std::vector<std::string> errors;
    // Sweep axis paths this file makes available -> the model's parameter name.
    std::map<std::string, std::string> sweepPaths;
};

// Never throws for what a file declares: problems go to `errors`.
LoweredArchitecture lowerArchitecture(const Model& model);

// "line N: <what> is declared but not executed by the kvrn engine"
std::string unexecutedMessage(const UnexecutedDeclaration& declaration);

}  // namespace Core::Vostel
