#include "front_end.hpp"
#include "support/golden.hpp"

using namespace Core::Vostel;
using Testing::BadInput;
using Testing::parse;

namespace {

const std::string kUnexpected = "neocekavana deklarace na nejvyssi urovni";
const std::string kUnknownProperty =
    "neznama vlastnost experiment (hypothesis|theory|seed|stimulus|fork at|trials|sweep|branches|controls|"
    "metrics|prediction|null|falsification)";

Model parseExample(const std::string& name) {
    return parse(Testing::readFile(Testing::dataPath("vostel/" + name)));
}

std::int64_t forkAt(const std::string& duration) {
    return parse("experiment E { fork at " + duration + "; }").experiments.at(0).forkAt;
}

std::vector<double> axisValues(const std::string& values) {
    return parse("experiment E { sweep { p: " + values + "; seeds: 1; } }")
        .experiments.at(0)
        .sweep->axes.at(0)
        .values;
}

InterventionDecl intervention(const std::string& call) {
    return parse("experiment E { branches { b { " + call + "; } } }")
        .experiments.at(0)
        .branches.at(0)
        .interventions.at(0);
}

}  // namespace

TEST(TopLevel, PragmasSeedAndAnEmptyFile) {
    Model empty = parse("// nothing here\n");
    EXPECT_TRUE(!empty.version && !empty.runtime && !empty.seed);
    EXPECT_TRUE(empty.capabilityUses.empty() && empty.experiments.empty() && empty.neurons.empty());

    Model model = parse("vostel \"2.0\";\n\nruntime \"kvrn\";\nseed 5;\nseed 9;\n");
    EXPECT_EQ(std::tie(model.version, model.runtime, model.runtimeLine), std::tuple("2.0", "kvrn", 3u));
    EXPECT_EQ(model.seed, 9);  // a later global seed replaces an earlier one

    Model runtimeOnly = parse("runtime \"sync\";");
    EXPECT_FALSE(runtimeOnly.version);
    EXPECT_EQ(runtimeOnly.runtime, "sync");
}

TEST(TopLevel, Failures) {
    Testing::expectAllFail({
        // clang-format off
        {"runtime \"kvrn\";\nvostel \"2.0\";",
         kUnexpected + " (u 'vostel')", 2, 1},  // the version pragma must come first
        {"seed 1;\nruntime \"kvrn\";",
         kUnexpected + " (u 'runtime')", 2, 1},  // pragmas only at the head of the file
        {"vostel 2;", "ocekavan retezec verze za 'vostel' (u '2')", 1, 8},  // the version is a string
        {"runtime kvrn;", "ocekavan retezec runtime za 'runtime' (u 'kvrn')", 1, 9},  // so is the runtime
        {"vostel \"2.0\"", "ocekavano ';' (u '<konec>')", 1, 13},  // a pragma ends with ';'
        {"seed 1.5;", "ocekavano cele cislo (seed) (u '1.5')", 1, 6},  // seeds are whole numbers
        {"seed -1;", "ocekavano cele cislo (seed) (u '-')", 1, 6},  // and carry no sign
        {"seed: 1;", "ocekavano cele cislo (seed) (u ':')", 1, 5},  // no colon at the top level
        {"stimulu s {}", kUnexpected + " (u 'stimulu')", 1, 1},  // misspelt keyword
        {"{ }", kUnexpected + " (u '{')", 1, 1},  // not a declaration at all
        // clang-format on
    });
}

TEST(Durations, UnitsScaleToWholeNanoseconds) {
    EXPECT_EQ(forkAt("2 ms"), 2000000);
    EXPECT_EQ(forkAt("-3 us"), -3000);
    EXPECT_EQ(forkAt("0.1 ms"), 100000);
    EXPECT_EQ(forkAt("1.5us"), 1500);
    EXPECT_EQ(forkAt("7 ns"), 7);
    EXPECT_EQ(forkAt("2 s"), 2000000000);
    EXPECT_EQ(forkAt("9223372036 s"), 9223372036000000000);
    EXPECT_EQ(parse("experiment E { }").experiments.at(0).forkAt, -1);
}

TEST(Durations, Failures) {
    Testing::expectAllFail({
        // clang-format off
        {"experiment E { fork at 1.2345 ns; }",
         "doba trvani neni cely nasobek nanosekundy (cas forku) (u ';')", 1, 33},  // fractional nanoseconds
        {"experiment E { fork at 0.5ns; }",
         "doba trvani neni cely nasobek nanosekundy (cas forku) (u ';')", 1, 29},  // half a nanosecond
        {"experiment E { fork at 500; }",
         "chybi jednotka casu (ns|us|ms|s) u cas forku (u ';')",
         1, 27},  // no unit: reported after the number
        {"experiment E { fork at 5 min; }",
         "chybi jednotka casu (ns|us|ms|s) u cas forku (u 'min')", 1, 26},  // not one of the four units
        {"experiment E { fork at ms; }",
         "ocekavana doba trvani (cas forku) (u 'ms')", 1, 24},  // a unit without a number
        {"experiment E { fork at - - 1 ms; }",
         "ocekavana doba trvani (cas forku) (u '-')", 1, 26},  // one sign only
        {"experiment E { fork at 10000000000 s; }",
         "doba trvani mimo rozsah (cas forku) (u ';')", 1, 37},  // no 64-bit count of ns
        // clang-format on
    });
}

TEST(Stimulus, SegmentsInOrderWithTheirTimes) {
    const std::vector<StimulusDecl> stimuli = parseExample("experiments.vostel").stimuli;
    ASSERT_EQ(stimuli.size(), 1u);
    std::vector<std::string> segments;
    for (const SegmentDecl& s : stimuli[0].segments)
        segments.push_back(s.name + " " + std::to_string(s.from) + "-" + std::to_string(s.to));
    // 0.25 s, 250000 us and 400000000 ns land on the same nanosecond grid.
    EXPECT_EQ(stimuli[0].name, "drive");
    EXPECT_EQ(segments, (std::vector<std::string>{"baseline 0-200000000", "pulse 200000000-250000000",
                                                  "rest 250000000-400000000"}));

    Testing::expectAllFail({
        // clang-format off
        {"stimulus {", "ocekavan identifikator (nazev stimulu) (u '{')", 1, 10},  // the name is missing
        {"stimulus s { a 0 ms to 5 ms; }",
         "ocekavano klicove slovo 'from' (u '0')", 1, 16},  // 'from' is missing
        {"stimulus s { a from 0 ms to 5; }",
         "chybi jednotka casu (ns|us|ms|s) u konec segmentu (u ';')", 1, 30},  // the end has no unit
        {"stimulus s { a from 0 ms to 5 ms }", "ocekavano ';' (u '}')", 1, 34},  // each segment ends with ';'
        {"stimulus s { a from 0 ms to 5 ms;",
         "ocekavano '}' (u '<konec>')", 1, 34},  // the block is not closed
        {"stimulus s { a from 0 ms to 5 ms; };", kUnexpected + " (u ';')", 1, 36},  // no ';' after the block
        // clang-format on
    });
}

TEST(Experiment, PropertiesIntoTheRecord) {
    Model model = parseExample("experiments.vostel");
    ASSERT_EQ(model.experiments.size(), 2u);
    const ExperimentDecl& x = model.experiments[0];
    EXPECT_EQ(std::tie(x.name, x.hypothesis, x.theory, x.stimulus, x.seed, x.forkAt, x.trials),
              std::tuple("PhaseScramble", "H1", "phase-coding v2", "drive", 1234, 200000000, 2));
    ASSERT_EQ(x.branches.size(), 3u);
    EXPECT_EQ(x.branches[0].name, "baseline");
    EXPECT_TRUE(x.branches[0].interventions.empty());
    const InterventionDecl& scramble = x.branches[1].interventions.at(0);
    EXPECT_EQ(std::tie(scramble.name, scramble.arguments, scramble.value),
              std::tuple("phase_scramble", std::vector<std::string>{"exc", "inh"}, 0.5));
    EXPECT_EQ(x.branches[2].interventions.at(0).value, -2.5);
    ASSERT_EQ(x.controls.size(), 2u);
    EXPECT_EQ(std::tie(x.controls[0].statistic, x.controls[0].tolerance), std::tuple("firing_rate", 0.05));
    EXPECT_EQ(x.controls[1].tolerance, 12.5 / 100.0);
    EXPECT_EQ(x.metrics,
              (std::vector<std::string>{"state_separation", "phase_locking"}));  // blocks concatenate
    EXPECT_FALSE(x.sweep);
    EXPECT_EQ(std::tie(x.prediction, x.nullResult, x.falsification),
              std::tuple("state separation falls under scrambling", "no change beyond the matched controls",
                         "separation rises by more than 10 %"));

    const ExperimentDecl& sweep = model.experiments[1];
    EXPECT_FALSE(sweep.seed);  // the global seed stays on the model
    EXPECT_EQ(model.seed, 7);
    EXPECT_EQ(sweep.trials, 1);
    ASSERT_TRUE(sweep.sweep);
    EXPECT_EQ(sweep.sweep->seeds, 6);  // seeds declared twice: the later count
    ASSERT_EQ(sweep.sweep->axes.size(), 2u);
    EXPECT_EQ(std::tie(sweep.sweep->axes[0].parameter, sweep.sweep->axes[1].parameter),
              std::tuple("stochasticity", "latency"));
    EXPECT_EQ(sweep.sweep->axes[0].values.size(), 6u);
    EXPECT_EQ(sweep.sweep->axes[1].values, (std::vector<double>{10000000.0, 20000000.0, 1500.0}));

    // Repeated properties: the later one wins, a later sweep block replaces an
    // earlier one; a negative tolerance parses (the analysis rejects it).
    const ExperimentDecl repeated =
        parse(
            "experiment E { trials: 3; trials: 4; sweep { a: [1]; seeds: 2; } sweep { b: [2]; seeds: 5; }"
            " controls { match isi_variance tolerance -5 percent; } }")
            .experiments.at(0);
    EXPECT_EQ(
        std::tie(repeated.trials, repeated.sweep->axes.at(0).parameter, repeated.controls.at(0).tolerance),
        std::tuple(4, "b", -0.05));
}

TEST(Experiment, InterventionArguments) {
    InterventionDecl bare = intervention("silence()");
    EXPECT_TRUE(bare.arguments.empty());
    EXPECT_FALSE(bare.value);
    InterventionDecl gain = intervention("scale(gain, 0.5)");
    EXPECT_EQ(gain.arguments, std::vector<std::string>{"gain"});
    EXPECT_EQ(gain.value, 0.5);
    InterventionDecl mixed = intervention("f(a, 1, b, -2,)");
    EXPECT_EQ(mixed.arguments, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(mixed.value, -2.0);  // a later number replaces an earlier one
}

TEST(Experiment, Failures) {
    Testing::expectAllFail({
        // clang-format off
        {"experiment E { colour: red; }", kUnknownProperty + " (u 'colour')", 1, 16},  // no such property
        {"experiment E { hypothesis: \"H1\"; }",
         "ocekavan identifikator (hypoteza) (u 'H1')", 1, 28},  // a name, not a string
        {"experiment E { theory: v2; }",
         "ocekavan retezcovy literal (verze teorie) (u 'v2')", 1, 24},  // the theory is a string
        {"experiment E { trials 2; }", "ocekavano ':' (u '2')", 1, 23},  // properties take a colon
        {"experiment E { fork 5 ms; }", "ocekavano klicove slovo 'at' (u '5')", 1, 21},  // it is 'fork at'
        {"experiment E { seed: -3; }",
         "ocekavano cele cislo (seed) (u '-')", 1, 22},  // integers carry no sign
        {"experiment E { prediction: \"p\" }", "ocekavano ';' (u '}')", 1, 32},  // a property ends with ';'
        {"experiment E { branches { b { f(1 2); } } }",
         "ocekavano ')' (u '2')", 1, 35},  // the comma is missing
        {"experiment E { branches { b { f(x) } } }",
         "ocekavano ';' (u '}')", 1, 36},  // an intervention ends with ';'
        {"experiment E { branches { b { f(-x); } } }",
         "ocekavano cislo (hodnota zasahu) (u 'x')", 1, 34},  // a minus starts a number
        {"experiment E { branches { b { f(\"x\"); } } }",
         "ocekavan identifikator (argument zasahu) (u 'x')", 1, 33},  // names or numbers only
        {"experiment E { branches { b f(); } }", "ocekavano '{' (u 'f')", 1, 29},  // a branch is a block
        {"experiment E { controls { firing_rate tolerance 5 percent; } }",
         "ocekavano klicove slovo 'match' (u 'firing_rate')", 1, 27},  // entries start with 'match'
        {"experiment E { controls { match firing_rate tolerance 5; } }",
         "ocekavano klicove slovo 'percent' (u ';')", 1, 56},  // a tolerance is in percent
        {"experiment E { controls { match firing_rate tolerance x percent; } }",
         "ocekavano cislo (tolerance) (u 'x')", 1, 55},  // and is a number
        {"experiment E { metrics { a b; } }", "ocekavano ';' (u 'b')", 1, 28},  // one name per entry
        {"experiment E { metrics { a; }",
         "ocekavano '}' (u '<konec>')", 1, 30},  // the experiment is not closed
        // clang-format on
    });
}

TEST(Sweep, LinspaceValuesAreComputedInTheWrittenOrder) {
    EXPECT_EQ(axisValues("linspace(0, 1, 5)"), (std::vector<double>{0, 0.25, 0.5, 0.75, 1}));
    EXPECT_EQ(axisValues("linspace(2, -2, 2)"), (std::vector<double>{2, -2}));
    // i * (to - from) / (count - 1) + from, each step rounded as written: not
    // accumulated, not from + i * step, and the last value not pinned to `to`.
    EXPECT_EQ(axisValues("linspace(0.1, 1, 10)"),
              (std::vector<double>{0.1, 0.2, 0.30000000000000004, 0.4, 0.5, 0.6, 0.7000000000000001,
                                   0.7999999999999999, 0.9, 0.9999999999999999}));
}

TEST(Sweep, ListValuesWithUnits) {
    EXPECT_EQ(axisValues("[10 ms, 20 ms,]"), (std::vector<double>{10000000.0, 20000000.0}));
    EXPECT_EQ(axisValues("[-1, 0.5 us, 3 s]"), (std::vector<double>{-1.0, 500.0, 3000000000.0}));
    EXPECT_EQ(axisValues("[0.5 ns]"), (std::vector<double>{0.5}));  // no integrality check on axis values
    EXPECT_TRUE(axisValues("[]").empty());
}

TEST(Sweep, Failures) {
    Testing::expectAllFail({
        // clang-format off
        {"experiment E { sweep { x: [1, 2]; } }",
         "sweep musi deklarovat 'seeds' (u '}')", 1, 37},  // seeds are required; checked after the block
        {"experiment E { sweep { x: linspace(0, 1, 1); seeds: 2; } }",
         "linspace potrebuje aspon 2 body (u ';')", 1, 44},  // one point is no range
        {"experiment E { sweep { x: linspace(0, 1, 2.5); seeds: 2; } }",
         "ocekavano cele cislo (linspace pocet) (u '2.5')", 1, 42},  // the count is whole
        {"experiment E { sweep { x: linspace(0 1, 2); seeds: 2; } }",
         "ocekavano ',' (u '1')", 1, 38},  // arguments need commas
        {"experiment E { sweep { x: [1, ms]; seeds: 2; } }",
         "ocekavana hodnota osy (x) (u 'ms')", 1, 31},  // a unit needs a number
        {"experiment E { sweep { x: [1,, 2]; seeds: 2; } }",
         "ocekavana hodnota osy (x) (u ',')", 1, 30},  // a trailing comma only at the end
        {"experiment E { sweep { x: [1 2]; seeds: 2; } }",
         "ocekavano ']' (u '2')", 1, 30},  // the comma is missing
        {"experiment E { sweep { x: 1; seeds: 2; } }",
         "ocekavano '[' (u '1')", 1, 27},  // values are a list or a linspace
        {"experiment E { sweep { seeds: -1; } }",
         "ocekavano cele cislo (pocet seedu) (u '-')", 1, 31},  // no sign on the seed count
        {"experiment E { sweep { 5: [1]; seeds: 1; } }",
         "ocekavan identifikator (parametr sweepu) (u '5')", 1, 24},  // a parameter is a name
        {"experiment E { sweep { seeds 3; } }", "ocekavano ':' (u '3')", 1, 30},  // entries take a colon
        // clang-format on
    });
}

TEST(Runtime2, ConstructsKeepTheirFieldTextsAndNoteCapabilities) {
    Model model = parseExample("experiments.vostel");
    ASSERT_EQ(model.runtime2Constructs.size(), 4u);
    const Runtime2Construct& oscillator = model.runtime2Constructs[0];
    EXPECT_EQ(std::tie(oscillator.keyword, oscillator.name, oscillator.line),
              std::tuple("oscillator", "theta", 8u));
    ASSERT_EQ(oscillator.fields.size(), 2u);
    EXPECT_EQ(std::tie(oscillator.fields[0].name, oscillator.fields[0].tokens, oscillator.fields[0].line),
              std::tuple("frequency", std::vector<std::string>{"10", "Hz"}, 9u));
    const Runtime2Field& window = model.runtime2Constructs[1].fields.at(2);
    EXPECT_EQ(window.name, "window");
    EXPECT_TRUE(window.tokens.empty());
    ASSERT_EQ(window.children.size(), 2u);
    EXPECT_EQ(window.children[1].tokens, (std::vector<std::string>{"500", "ms"}));
    EXPECT_EQ(model.runtime2Constructs[3].fields.at(0).tokens, std::vector<std::string>{"out/spikes.csv"});
    EXPECT_EQ(Testing::capabilityUsesOf(model),
              (std::vector<std::string>{"oscillator/oscillator@8", "phase_modulation/oscillator@13",
                                        "synapse/realtime_delay@22", "recorder/recorder@24"}));

    // A transformer needs no capability of its own.
    Model more = parse(
        "transformer t { layers 2; }\nlearning_gate g { }\nhomeostasis h { }\nprediction p { }\n"
        "modality m { }\nactuator a { }");
    EXPECT_EQ(more.runtime2Constructs.size(), 6u);
    EXPECT_EQ(
        Testing::capabilityUsesOf(more),
        (std::vector<std::string>{"learning_gate/stdp@2", "homeostasis/stdp@3", "prediction/prediction@4",
                                  "modality/multimodal@5", "actuator/realtime@6"}));

    Testing::expectAllFail({
        // clang-format off
        {"synapse { }",
         "ocekavan identifikator (nazev konstruktu runtime 2) (u '{')", 1, 9},  // the name is missing
        {"oscillator o { frequency 10 Hz }",
         "ocekavano ';' (u '}')", 1, 32},  // a field ends with ';' or a block
        {"oscillator o { 10 Hz; }",
         "ocekavan identifikator (nazev pole runtime 2) (u '10')", 1, 16},  // a field starts with its name
        {"oscillator o { w { a 1; }", "ocekavano '}' (u '<konec>')", 1, 26},  // the construct is not closed
        // clang-format on
    });
}
