#include "cli/model_factory.hpp"

#include <algorithm>

namespace Core::Cli {

std::unique_ptr<Kvrn::Testing::OscillatoryPopulations> newModel() {
    return std::make_unique<Kvrn::Testing::OscillatoryPopulations>(kModelModulation);
}

Kvrn::ModelFactory modelFactory() {
    return [](const Kvrn::SweepPoint& point) -> std::unique_ptr<Kvrn::ExperimentModel> {
        auto model = newModel();
        for (const Kvrn::SweepParameter& parameter : point.parameters)
            model->setParameter(parameter.name, parameter.value);
        return model;
    };
}

bool modelKnowsParameter(std::string_view name) {
    return std::find(kModelParameters.begin(), kModelParameters.end(), name) != kModelParameters.end();
}

std::string modelParameterList() {
    std::string list;
    for (std::string_view name : kModelParameters) list += (list.empty() ? "" : ", ") + std::string(name);
    return list;
}

}  // namespace Core::Cli
