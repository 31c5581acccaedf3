#pragma once

#include <string>

#include "experiment/experiment_spec.hpp"

namespace Testing {

// The probe experiment behind the reference registry: one baseline branch swept
// over model parameters, seed 500, forked 25 ms into 75 ms of "A" then 75 ms blank.
inline Core::Kvrn::ExperimentSpec probeSpec(const std::string& name) {
    Core::Kvrn::ExperimentSpec spec;
    spec.name = name;
    spec.hypothesis = "H2";
    spec.theory_version = "KVRN 1.0.0";
    spec.seed = 500;
    spec.stimulus = {"A_blank", {{"A", 0, 75'000'000}, {"blank", 75'000'000, 150'000'000}}};
    spec.snapshot_at_ns = 25'000'000;
    spec.branches = {{"baseline", {}}};
    spec.swept = true;
    spec.metrics = {"state_separation", "firing_rate"};
    spec.prediction = "sigma changes the macrostate distance";
    spec.null = "no dependence on sigma";
    spec.falsification = "no effect across the declared range";
    return spec;
}

}  // namespace Testing
