#include "cli/run_readiness.hpp"

#include <algorithm>
#include <iterator>

#include "cli/model_factory.hpp"
#include "experiment/metrics.hpp"

namespace Core::Cli {

namespace {

// The kinds the test model's applyIntervention accepts.
const char* const kInterventions[] = {"phase_scramble", "phase_jitter", "ablate", "scale_drive"};

std::string at(const std::string& file, std::uint32_t line) { return file + ":" + std::to_string(line); }

std::string written(const Vostel::InterventionDecl& intervention) {
    std::string text = intervention.name + "(";
    for (std::size_t i = 0; i < intervention.arguments.size(); ++i)
        text += (i ? ", " : "") + intervention.arguments[i];
    if (intervention.value)
        text += (intervention.arguments.empty() ? "" : ", ") + std::to_string(*intervention.value);
    return text + ")";
}

}  // namespace

std::string messageLocation(const std::string& file, const Vostel::Model& model, const std::string& message) {
    const auto startsWith = [&message](const std::string& prefix) { return message.rfind(prefix, 0) == 0; };
    for (const Vostel::ExperimentDecl& experiment : model.experiments) {
        const std::string context = "experiment '" + experiment.name + "'";
        if (experiment.line > 0 && (startsWith(context + ":") || startsWith("duplicitni " + context)))
            return at(file, experiment.line);
    }
    for (const Vostel::StimulusDecl& stimulus : model.stimuli) {
        const std::string context = "stimulus '" + stimulus.name + "'";
        if (stimulus.line > 0 && (startsWith(context) || startsWith("duplicitni " + context)))
            return at(file, stimulus.line);
    }
    // Messages about architecture declarations carry "radek N" themselves.
    const std::size_t radek = message.find("radek ");
    if (radek != std::string::npos) {
        std::size_t end = radek + 6;
        while (end < message.size() && message[end] >= '0' && message[end] <= '9') ++end;
        if (end > radek + 6) return file + ":" + message.substr(radek + 6, end - radek - 6);
    }
    return file;
}

std::string knownMetricList() {
    const Kvrn::MetricRegistry registry;
    std::string list;
    for (const Kvrn::MetricDefinition& metric : registry.definitions())
        list += (list.empty() ? "" : ", ") + metric.name;
    return list;
}

std::string knownInterventionList() {
    std::string list;
    for (const char* kind : kInterventions) list += (list.empty() ? "" : ", ") + std::string(kind);
    return list;
}

std::vector<std::string> runReadinessErrors(const std::string& file, const Vostel::Model& model) {
    std::vector<std::string> errors;
    const Kvrn::MetricRegistry metrics;
    for (const Vostel::ExperimentDecl& experiment : model.experiments) {
        const std::string context = "experiment '" + experiment.name + "'";
        for (std::size_t m = 0; m < experiment.metrics.size(); ++m) {
            const std::string& metric = experiment.metrics[m];
            if (metrics.hasMetric(metric)) continue;
            const std::uint32_t line =
                m < experiment.metricLines.size() ? experiment.metricLines[m] : experiment.line;
            errors.push_back(at(file, line) + ": error: " + context + " declares unknown metric '" + metric +
                             "' (the metrics are " + knownMetricList() + ")");
        }
        // Each intervention is tried on a fresh model: the model itself is
        // the authority on what it implements and with which arguments.
        for (const Vostel::BranchDecl& branch : experiment.branches) {
            for (const Vostel::InterventionDecl& intervention : branch.interventions) {
                // Set up as the runner would: reset, then a branch begins.
                const auto model = newModel();
                try {
                    model->reset(0);
                    model->beginBranch(branch.name);
                    model->applyIntervention({intervention.name, intervention.arguments, intervention.value});
                } catch (const std::exception& refusal) {
                    const bool known = std::find(std::begin(kInterventions), std::end(kInterventions),
                                                 intervention.name) != std::end(kInterventions);
                    errors.push_back(
                        at(file, experiment.line) + ": error: " + context + ", branch '" + branch.name +
                        "': " + written(intervention) + ": " + refusal.what() +
                        (known ? "" : " (the model implements " + knownInterventionList() + ")"));
                }
            }
        }
    }
    return errors;
}

}  // namespace Core::Cli
