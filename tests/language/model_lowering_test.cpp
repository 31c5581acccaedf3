// Lowering the architecture declarations into the model the engine runs.

#include "language/model_lowering.hpp"
#include "front_end.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Core::Kvrn::ModelArchitecture;
using Core::Vostel::lowerArchitecture;
using Core::Vostel::LoweredArchitecture;

const std::string kHead = "vostel \"2.0\";\nruntime \"kvrn\";\n";

LoweredArchitecture lowered(const std::string& body) {
    return lowerArchitecture(Testing::parse(kHead + body));
}

std::vector<std::string> unexecuted(const LoweredArchitecture& l) {
    std::vector<std::string> texts;
    for (const auto& d : l.unexecuted) texts.push_back(Core::Vostel::unexecutedMessage(d));
    return texts;
}

TEST(ModelLowering, NothingDeclaredIsTheDefaultModelWithEveryQuantityFromItsDefault) {
    const LoweredArchitecture l = lowered("seed 1;\n");
    EXPECT_EQ(l.architecture, ModelArchitecture{});
    EXPECT_TRUE(l.unexecuted.empty());
    EXPECT_TRUE(l.errors.empty());
    EXPECT_TRUE(l.sweepPaths.empty());
    ASSERT_EQ(l.quantities.size(), 12u);
    for (const auto& q : l.quantities) EXPECT_EQ(q.line, 0u) << q.path;
}

TEST(ModelLowering, DeclaredValuesReachTheModelInItsUnits) {
    const LoweredArchitecture l = lowered(
        "oscillator theta {\n"        // 3
        "    frequency 0.006 kHz;\n"  // 4
        "    populations 3;\n"        // 5
        "    phase_offset 2 rad;\n"   // 6
        "}\n"
        "phase_modulation drive { source theta; depth 0.2; }\n"  // 8
        "neuron cell {\n"                                        // 9
        "    tau_m 12500 us;\n"
        "    tau_a 0.1 s;\n"
        "    refractory 2500000 ns;\n"
        "    threshold -0.25;\n"
        "    hazard { base 40 Hz; gain 1.5; }\n"
        "    stochastic_scale 0.5;\n"
        "}\n"
        "population p { neurons { a: cell[5]; b: cell[6]; c: cell[7]; } }\n");  // 17
    ASSERT_TRUE(l.errors.empty()) << l.errors.front();
    EXPECT_TRUE(l.unexecuted.empty()) << unexecuted(l).front();
    ModelArchitecture expected;
    expected.groupSizes = {5, 6, 7};
    expected.frequency = 6.0;
    expected.phaseOffset = 2.0;
    expected.modulation = 0.2;
    expected.driveTimeConstant = 12'500'000;
    expected.adaptationTimeConstant = 100'000'000;
    expected.refractoryDuration = 2'500'000;
    expected.threshold = -0.25;
    expected.baselineRate = 40.0;
    expected.beta = 1.5;
    expected.stochasticity = 0.5;
    EXPECT_EQ(l.architecture, expected);
    EXPECT_EQ(l.sweepPaths.at("theta.frequency"), "frequency");
    EXPECT_EQ(l.sweepPaths.at("drive.depth"), "modulation");
    EXPECT_EQ(l.sweepPaths.at("cell.hazard.gain"), "beta");
    EXPECT_EQ(l.sweepPaths.at("cell.stochastic_scale"), "stochasticity");
    EXPECT_EQ(l.sweepPaths.size(), 9u);
    // Where each value came from, as written.
    EXPECT_EQ(l.quantities[0].path, "theta.frequency");
    EXPECT_EQ(l.quantities[0].value, "0.006 kHz");
    EXPECT_EQ(l.quantities[0].line, 4u);
    EXPECT_EQ(l.quantities[4].value, "5, 6, 7");
    EXPECT_EQ(l.quantities[4].line, 17u);
    EXPECT_EQ(l.quantities[8].value, "-0.25");
}

TEST(ModelLowering, ValuesTheModelCannotTakeAreErrorsWithTheirLines) {
    struct Case {
        std::string body;
        std::string error;  // why it is wrong is in the message
    };
    const Case cases[] = {
        {"oscillator t { frequency 10; }\n", "line 3: oscillator 't': frequency needs the unit Hz or kHz"},
        {"oscillator t { frequency -10 Hz; }\n", "line 3: oscillator 't': frequency must be positive"},
        {"oscillator t { frequency fast Hz; }\n",
         "line 3: oscillator 't': frequency needs a number, optionally with a unit"},
        {"oscillator t { populations 2.5; }\n",
         "line 3: oscillator 't': populations must be a whole number from 1 to 1000"},
        {"oscillator t { phase_offset 90; }\n",
         "line 3: oscillator 't': phase_offset needs the unit deg or rad"},
        {"oscillator t { }\nphase_modulation m { source gamma; }\n",
         "line 4: phase_modulation 'm': source must name the declared oscillator 't'"},
        {"phase_modulation m { depth 1 Hz; }\n",
         "line 3: phase_modulation 'm': depth takes no unit (found 'Hz')"},
        {"neuron n { tau_m 0 ms; }\n", "line 3: neuron 'n': tau_m must be positive"},
        {"neuron n { tau_a 15; }\n", "line 3: neuron 'n': tau_a needs a time unit (ns, us, ms or s)"},
        {"neuron n { refractory 0.5 ns; }\n",
         "line 3: neuron 'n': refractory must be a whole, non-negative number of nanoseconds"},
        {"neuron n { hazard { base -1 Hz; } }\n", "line 3: neuron 'n': hazard: base must not be negative"},
        {"neuron n { stochastic_scale -1; }\n", "line 3: neuron 'n': stochastic_scale must not be negative"},
        {"neuron n { tau_m 15 ms; }\npopulation p { neurons { a: n[0]; } }\n",
         "line 4: population 'p': group 'a' must have from 1 to 1000000 neurons"},
        {"oscillator t { populations 3; }\nneuron n { tau_m 15 ms; }\npopulation p { neurons { a: n[4]; b: "
         "n[4]; } }\n",
         "line 3: oscillator 't' declares 3 populations but population 'p' has 2 groups"},
    };
    for (const Case& c : cases) {
        const LoweredArchitecture l = lowered(c.body);
        ASSERT_EQ(l.errors.size(), 1u) << c.body;
        EXPECT_EQ(l.errors.front(), c.error);
    }
}

TEST(ModelLowering, WhatTheEngineDoesNotExecuteIsListedInLineOrder) {
    const LoweredArchitecture l =
        lowerArchitecture(Testing::parse("vostel \"2.0\";\n"
                                         "runtime \"nest\";\n"                                   // 2
                                         "oscillator a { frequency 10 Hz; waveform square; }\n"  // 3
                                         "oscillator b { frequency 20 Hz; }\n"                   // 4
                                         "neuron n {\n"                                          // 5
                                         "    state { v: float = 0; }\n"                         // 6
                                         "    tau_m 15 ms;\n"
                                         "    hazard { base 60 Hz; ceiling 5; }\n"  // 8
                                         "}\n"
                                         "neuron m { tau_m 15 ms; }\n"            // 10
                                         "population p {\n"                       // 11
                                         "    neurons { x: n[20]; y: m[20]; }\n"  // 12
                                         "    connect x -> y;\n"                  // 13
                                         "}\n"
                                         "population q { neurons { z: n[3]; } }\n"    // 15
                                         "chemistry { dopamine: float = 0.1; }\n"));  // 16
    EXPECT_EQ(
        unexecuted(l),
        (std::vector<std::string>{
            "line 2: runtime \"nest\" is declared but not executed by the kvrn engine",
            "line 3: oscillator 'a': waveform is declared but not executed by the kvrn engine",
            "line 4: oscillator 'b' (the engine runs one oscillator declaration) is declared but not "
            "executed by the kvrn engine",
            "line 6: neuron 'n': state 'v' is declared but not executed by the kvrn engine",
            "line 8: neuron 'n': hazard: ceiling is declared but not executed by the kvrn engine",
            "line 10: neuron 'm' (the engine runs one neuron type) is declared but not executed by the "
            "kvrn engine",
            "line 12: population 'p': group 'y' of neuron type 'm' (the engine runs one neuron type, 'n') "
            "is declared but not executed by the kvrn engine",
            "line 13: population 'p': connect is declared but not executed by the kvrn engine",
            "line 15: population 'q' (the engine runs one population declaration) is declared but not "
            "executed by the kvrn engine",
            "line 16: chemistry is declared but not executed by the kvrn engine",
        }));
    EXPECT_EQ(l.architecture.groupSizes, (std::vector<std::uint64_t>{20}));
}

TEST(ModelLowering, SweepAxesMayNameADeclaredQuantityByItsPath) {
    const Core::Vostel::Model model = Testing::parse(
        "experiment E { sweep { theta.frequency: [8, 12]; cell.hazard.base: [40, 60]; seeds: 2; } }\n");
    const auto& axes = model.experiments.front().sweep->axes;
    ASSERT_EQ(axes.size(), 2u);
    EXPECT_EQ(axes[0].parameter, "theta.frequency");
    EXPECT_EQ(axes[1].parameter, "cell.hazard.base");
}

}  // namespace
