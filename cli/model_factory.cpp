#include "cli/model_factory.hpp"

#include <algorithm>
#include <iomanip>
#include <sstream>

namespace Core::Cli {

std::unique_ptr<Kvrn::Testing::OscillatoryPopulations> newModel() {
    return std::make_unique<Kvrn::Testing::OscillatoryPopulations>(kModelModulation);
}

std::unique_ptr<Kvrn::Testing::OscillatoryPopulations> newModel(const Kvrn::ModelArchitecture& architecture) {
    return std::make_unique<Kvrn::Testing::OscillatoryPopulations>(architecture);
}

Kvrn::ModelFactory modelFactory() {
    return [](const Kvrn::SweepPoint& point) -> std::unique_ptr<Kvrn::ExperimentModel> {
        auto model = newModel();
        for (const Kvrn::SweepParameter& parameter : point.parameters)
            model->setParameter(parameter.name, parameter.value);
        return model;
    };
}

Kvrn::ModelFactory modelFactory(const Vostel::LoweredArchitecture& declared) {
    // Copied into the factory: it outlives the loaded file and runs on several threads.
    return [architecture = declared.architecture, paths = declared.sweepPaths](
               const Kvrn::SweepPoint& point) -> std::unique_ptr<Kvrn::ExperimentModel> {
        auto model = newModel(architecture);
        for (const Kvrn::SweepParameter& parameter : point.parameters) {
            const auto path = paths.find(parameter.name);
            model->setParameter(path == paths.end() ? parameter.name : path->second, parameter.value);
        }
        return model;
    };
}

bool modelKnowsParameter(std::string_view name) {
    return std::find(kModelParameters.begin(), kModelParameters.end(), name) != kModelParameters.end();
}

bool modelKnowsParameter(const Vostel::LoweredArchitecture& declared, std::string_view name) {
    return modelKnowsParameter(name) || declared.sweepPaths.count(std::string(name)) != 0;
}

std::string modelParameterList() {
    std::string list;
    for (std::string_view name : kModelParameters) list += (list.empty() ? "" : ", ") + std::string(name);
    return list;
}

std::string modelParameterList(const Vostel::LoweredArchitecture& declared) {
    std::string list = modelParameterList();
    for (const auto& [path, parameter] : declared.sweepPaths) list += ", " + path;
    return list;
}

void refuseUnrunnable(const std::string& file, const Vostel::LoadedExperiment& loaded) {
    const Vostel::LoweredArchitecture& declared = loaded.architecture;
    if (!declared.errors.empty()) {
        std::string message = "the model declared in " + file + " cannot be built:";
        for (const std::string& error : declared.errors) message += "\n  " + error;
        throw Kvrn::InvalidExperiment(message);
    }
    if (!declared.unexecuted.empty()) {
        std::string message;
        for (const Vostel::UnexecutedDeclaration& d : declared.unexecuted) {
            message += (message.empty() ? "" : "\n") + file + ":" + std::to_string(d.line) + ": " + d.what +
                       " is declared but not executed by the kvrn engine";
        }
        throw Kvrn::InvalidExperiment(message +
                                      "\nnot run: the results would not be those of the declared model");
    }
    if (!loaded.sweep) return;
    for (const Kvrn::SweepAxis& axis : loaded.sweep->axes) {
        if (!modelKnowsParameter(declared, axis.name))
            throw Kvrn::InvalidExperiment("experiment " + loaded.spec.name + " sweeps '" + axis.name +
                                          "', which the model does not have (it has " +
                                          modelParameterList(declared) + ")");
    }
}

std::string explainModel(const std::string& file, const Vostel::LoweredArchitecture& declared) {
    std::size_t pathWidth = 0, valueWidth = 0;
    for (const Vostel::ModelQuantity& q : declared.quantities) {
        pathWidth = std::max(pathWidth, q.path.size());
        valueWidth = std::max(valueWidth, q.value.size());
    }
    std::ostringstream out;
    out << "model of " << file << ": oscillatory populations on the kvrn engine\n";
    for (const Vostel::ModelQuantity& q : declared.quantities) {
        out << "  " << std::left << std::setw(static_cast<int>(pathWidth)) << q.path << "  "
            << std::setw(static_cast<int>(valueWidth)) << q.value << "  "
            << (q.line == 0 ? std::string("default") : "declared at line " + std::to_string(q.line)) << "  ("
            << q.quantity << ")\n";
    }
    out << "fixed by the engine:\n";
    for (const auto& [name, value] : Kvrn::Testing::OscillatoryPopulations::fixedQuantities())
        out << "  " << name << ": " << value << "\n";
    const Kvrn::Testing::OscillatoryPopulations model(declared.architecture);
    out << "architecture: " << model.architectureDescription() << "\n";
    for (const std::string& error : declared.errors) out << "error: " << error << "\n";
    for (const Vostel::UnexecutedDeclaration& d : declared.unexecuted)
        out << "not executed: " << Vostel::unexecutedMessage(d) << "\n";
    return out.str();
}

}  // namespace Core::Cli
