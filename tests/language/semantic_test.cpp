#include "front_end.hpp"
#include "language/semantic_analyzer.hpp"
#include "support/golden.hpp"

using namespace Core::Vostel;

namespace {

using Strings = std::vector<std::string>;

const std::string kSurface2 = "jazykovy povrch runtime 2 vyzaduje 'vostel \"2.0\";'";
const std::string kSurface3 = "jazykovy povrch runtime 3 vyzaduje 'vostel \"3.0\";'";

AnalysisResult analyze(const std::string& source, RuntimeKind runtime = RuntimeKind::Kvrn) {
    const Model model = Testing::parse(source);
    return SemanticAnalyzer(model, runtime).analyze();
}

Strings errors(const std::string& source) { return analyze(source).errors; }

// The messages that start with `prefix`, in order.
Strings starting(const Strings& messages, const std::string& prefix) {
    Strings found;
    for (const std::string& m : messages) {
        if (m.rfind(prefix, 0) == 0) found.push_back(m);
    }
    return found;
}

// A valid experiment; properties appended to kBody replace or extend it.
const std::string kBody =
    "hypothesis: H1; stimulus: S; fork at 5 ms;"
    " branches { control { } scrambled { phase_scramble(); } }"
    " metrics { state_separation; } prediction: \"p\"; null: \"n\"; falsification: \"f\";";

std::string experiment(const std::string& extra = "") {
    return "seed 7;\nstimulus S { a from 0 ms to 50 ms; b from 50 ms to 100 ms; }\nexperiment E {\n" + kBody +
           extra + "\n}\n";
}

}  // namespace

TEST(Capabilities, UsesAreCheckedAgainstTheGivenRuntime) {
    // The three runtimes' sets, bit i standing for Capability i; the names
    // appear in the messages below.
    EXPECT_EQ(runtimeCapabilities(RuntimeKind::Sync).to_ulong(), 901u);
    EXPECT_EQ(runtimeCapabilities(RuntimeKind::Kvrn).to_ulong(), 15486u);
    EXPECT_EQ(runtimeCapabilities(RuntimeKind::Transformer).to_ulong(), 0x7c000u);

    // The runtime pragma is not consulted; the analyser's runtime decides.
    const std::string synapse = "runtime \"sync\";\nsynapse fast { delay 1 ms; }";
    EXPECT_EQ(errors(synapse), Strings{kSurface2});
    EXPECT_EQ(
        analyze(synapse, RuntimeKind::Sync).errors,
        (Strings{
            "radek 2: konstrukt 'synapse' pozaduje capability 'realtime_delay', kterou runtime 'sync' nema",
            kSurface2}));
    EXPECT_TRUE(errors("vostel \"2.0\";\nsynapse fast { delay 1 ms; }").empty());

    // Names outside the mapped ten are unknown, even names of real capabilities.
    Model m;
    m.capabilityUses = {{"custom", "rate_activation", 3}, {"sonar", "echo", 4}, {"recorder", "recorder", 5}};
    EXPECT_EQ(SemanticAnalyzer(m, RuntimeKind::Transformer).analyze().errors,
              (Strings{"radek 3: konstrukt 'custom' pozaduje neznamou capability 'rate_activation'",
                       "radek 4: konstrukt 'sonar' pozaduje neznamou capability 'echo'",
                       "radek 5: konstrukt 'recorder' pozaduje capability 'recorder', kterou runtime "
                       "'transformer' nema"}));
}

TEST(Capabilities, LanguageSurfacesNeedTheirVersion) {
    EXPECT_EQ(errors("vostel \"2.0\";\ntransformer t { layers 2; }"), Strings{kSurface3});
    EXPECT_EQ(errors("vostel \"3.0\";\ntransformer t { layers 2; }\noscillator o { frequency 10 Hz; }"),
              Strings{kSurface2});
    EXPECT_TRUE(errors("vostel \"3.0\";\ntransformer t { layers 2; }").empty());
    EXPECT_EQ(errors("transformer t { layers 2; }\nrecorder r { path \"x\"; }"),
              (Strings{kSurface2, kSurface3}));
    // Runtime-2 fields of neurons and plasticities count as the runtime-2 surface.
    EXPECT_EQ(errors("neuron N { tau_m 20 ms; }"), Strings{kSurface2});
    EXPECT_EQ(errors("plasticity P { a_plus 0.1; }"), Strings{kSurface2});
}

TEST(Capabilities, ReservedNameInsidePredictions) {
    const std::string source =
        "vostel \"2.0\";\n"
        "prediction p {\n"
        "    target local;\n"
        "    global_error 1;\n"
        "    errors {\n"
        "        weight global_error;\n"
        "        nested { global_error; }\n"
        "    }\n"
        "}\n"
        "recorder r { global_error 1; }\n";
    const std::string tail =
        ": rezervovane jmeno 'global_error' je zakazane; predikcni chyba musi mit lokalni cile";
    EXPECT_EQ(errors(source), (Strings{"radek 4" + tail, "radek 6" + tail, "radek 7" + tail}));
}

TEST(Capabilities, ExperimentsNeedTheExperimentCapability) {
    EXPECT_TRUE(analyze(experiment()).errors.empty() && analyze(experiment()).warnings.empty());
    EXPECT_EQ(analyze(experiment(), RuntimeKind::Sync).errors,
              Strings{"konstrukt 'experiment' pozaduje capability 'experiment', kterou runtime 'sync' nema"});
}

TEST(Registration, DuplicatesPerLevelInLevelOrder) {
    // Declared brain first; reported in the order of the levels.
    const std::string source =
        "brain B { } brain B { }\n"
        "neuron N { } neuron N { }\n"
        "population P { } population P { }\n"
        "circuit C { } circuit C { }\n"
        "construct K { } construct K { }\n"
        "controller R { } controller R { }\n"
        "module M { } module M { }\n"
        "network W { } network W { }\n"
        "neuron X { } population X { } module X { }\n";  // different levels do not clash
    EXPECT_EQ(starting(errors(source), "duplicitni"),
              (Strings{"duplicitni neuron 'N'", "duplicitni population 'P'", "duplicitni circuit 'C'",
                       "duplicitni construct 'K'", "duplicitni controller 'R'", "duplicitni module 'M'",
                       "duplicitni network 'W'", "duplicitni brain 'B'"}));
}

TEST(TypeReferences, UnknownNeuronTypesAndUses) {
    const std::string source =
        "circuit C { use population P as p; use population C as self; }\n"
        "neuron Pyr { }\n"
        "construct K { use neuron Pyr as probe; use neuron Phantom as ph; }\n"
        "population P { neurons { e: Pyr[4]; i: Ghost[2]; } }\n"
        "module M { neurons { r: Ghost2[1]; } use circuit Nowhere as n; }\n"
        "network W { use module M as m; use circuit C as c; }\n";
    EXPECT_EQ(errors(source),
              (Strings{"population 'P': skupina 'i' ma neznamy typ neuronu 'Ghost'",
                       "module 'M': skupina 'r' ma neznamy typ neuronu 'Ghost2'",
                       "module 'M': 'use circuit Nowhere as n' — neznamy typ 'Nowhere'",
                       "circuit 'C': 'use population C as self' — neznamy typ 'C'",  // C is a circuit
                       "construct 'K': 'use neuron Phantom as ph' — neznamy typ 'Phantom'"}));
}

TEST(Connections, EndpointResolution) {
    const std::string source =
        "neuron Pyr { }\n"
        "population P { neurons { e: Pyr[4]; i: Pyr[2]; } }\n"
        "circuit C {\n"
        "    use population P as p;\n"
        "    use population Missing as q;\n"
        "    use neuron Pyr as one;\n"
        "    connect p.e -> p.i;\n"
        "    connect p.x -> p.e.y;\n"
        "    connect q.e -> p;\n"
        "    connect one.v -> zz { gate: p.z; }\n"
        "    connect one -> p.i;\n"
        "}\n"
        // Two levels down, ending at a construct's interface port.
        "construct K { interface { input feed; } expose { l -> feed; } neurons { l: Pyr[1]; } }\n"
        "module M { neurons { relay: Pyr[1]; } use construct K as col; }\n"
        "network W { use module M as m; connect m.col.feed -> m.relay; }\n";
    EXPECT_EQ(
        errors(source),
        (Strings{"circuit 'C': 'use population Missing as q' — neznamy typ 'Missing'",
                 "circuit 'C' connect(src): endpoint 'p.x' — neznamy segment 'x'",
                 "circuit 'C' connect(dst): endpoint 'p.e.y' — za skupinou neuronu 'e' nelze pokracovat",
                 "circuit 'C' connect(src): endpoint 'q.e' — nelze sestoupit do 'q' (neznamy typ 'Missing')",
                 "circuit 'C' connect(dst): endpoint 'p' konci u instance 'p' (population P), ne u skupiny "
                 "neuronu",
                 "circuit 'C' connect(src): endpoint 'one.v' — za neuronem 'one' nelze pokracovat",
                 "circuit 'C' connect(dst): endpoint 'zz' — neznamy segment 'zz'",
                 "circuit 'C' connect(gate): endpoint 'p.z' — neznamy segment 'z'"}));
}

TEST(Connections, LowRankAdapterRules) {
    Model m = Testing::parse(
        "neuron Pyr { }\n"
        "population P {\n"
        "    neurons { a: Pyr[1]; b: Pyr[1]; }\n"
        "    connect a -> b { plasticity: frozen; adapter low_rank as fine { rank: 2; } }\n"
        "    connect a -> b { adapter low_rank as plain { rank: 1; alpha: 3; } }\n"
        "    connect a -> b { plasticity: hebbian_fast; adapter low_rank as bad {\n"
        "        rank: 0; alpha: -1; activation: relu; learning: backprop; init_a: normal; init_b: one; } }\n"
        "}\n");
    m.populations[0].connections[2].adapter->name.clear();
    const std::string ctx = "population 'P': low_rank adapter ";
    EXPECT_EQ(
        SemanticAnalyzer(m, RuntimeKind::Kvrn).analyze().errors,
        (Strings{ctx + "musi mit jmeno", ctx + "rank musi byt kladny",
                 ctx + "alpha musi byt konecne kladne cislo", ctx + "podporuje pouze activation: linear",
                 ctx + "podporuje pouze learning: eligibility",
                 ctx + "podporuje pouze init_a: kaiming_uniform", ctx + "vyzaduje init_b: zero",
                 "population 'P': base path low_rank adapteru musi byt zmrazena"}));
    m.populations[0].connections[2] = m.populations[0].connections[0];
    m.populations[0].connections[2].adapter->alpha = std::numeric_limits<double>::infinity();
    EXPECT_EQ(SemanticAnalyzer(m, RuntimeKind::Kvrn).analyze().errors,
              Strings{ctx + "alpha musi byt konecne kladne cislo"});
}

TEST(NetworksAndBrains, PolarizationControlsAndBrainConnections) {
    const std::string source =
        "neuron Pyr { }\n"
        "module Pol { neurons { r: Pyr[1]; } polarize { dim: 2; } }\n"
        "module Plain { neurons { r: Pyr[1]; } }\n"
        "controller Ctl {\n"
        "    interface { control polarization tilt[2]; control gate open; }\n"
        "    expose { h -> tilt; h -> open; }\n"
        "    neurons { h: Pyr[2]; }\n"
        "    training { target: y[2]; }\n"
        "}\n"
        "network W {\n"
        "    use module Pol as a;\n"
        "    use module Pol as a2;\n"
        "    use module Plain as b;\n"
        "    use controller Ctl as c;\n"
        "    control polarization of a.r with c.tilt by 0.25;\n"
        "    control polarization of a2.r with c.tilt by 1;\n"
        "    control polarization of a.r with c.tilt by 0.5;\n"
        "    control polarization of b.r with c.open by 1.5;\n"
        "    control polarization of a2.zz with c by x;\n"
        "}\n"
        "brain B { use network W as w; connect w.a.r -> w.q; }\n";
    const std::string ctx = "network 'W' polarization control";
    EXPECT_EQ(
        errors(source),
        (Strings{ctx + ": jedna polarizacni jednotka smi mit jen jeden controller",
                 ctx + ": 'by' musi byt konstantni cislo v rozsahu 0..1",
                 ctx + ": source musi byt control polarization port sirky 2",
                 ctx + ": target musi lezet v modulu s blokem polarize",
                 ctx + " (target): endpoint 'a2.zz' — neznamy segment 'zz'",
                 ctx + " (source): endpoint 'c' konci u instance 'c' (controller Ctl), ne u skupiny neuronu",
                 ctx + ": 'by' musi byt konstantni cislo v rozsahu 0..1",
                 ctx + ": source musi byt control polarization port sirky 2",
                 ctx + ": jedna polarizacni jednotka smi mit jen jeden controller",
                 "brain 'B' connect(dst): endpoint 'w.q' — neznamy segment 'q'"}));
}

TEST(Constructs, PortsExposesParametersAndUses) {
    const std::string source =
        "neuron Pyr { }\n"
        "construct K {\n"
        "    parameter size: int = 4;\n"
        "    parameter gain: float;\n"
        "    parameter size: int = 8;\n"
        "    interface { input feed; output drive; input feed; }\n"
        "    expose { l4 -> feed; l4 -> nowhere; ghost -> drive; }\n"
        "    learning: forbidden;\n"
        "    neurons { l4: Pyr[size]; }\n"
        "    connect l4 -> l4 { plasticity: oja_rule; }\n"
        "    connect l4 -> l4 { plasticity: Hebbian; }\n"  // the marks are case-sensitive
        "}\n"
        "module M {\n"
        "    use construct K(gain = 1, bogus = 2) as k1;\n"
        "    use construct K as k2;\n"
        "}\n";
    EXPECT_EQ(
        errors(source),
        (Strings{
            "construct 'K': duplicitni port 'feed'",
            "construct 'K': expose -> 'nowhere' — port neni deklarovan v interface",
            "construct 'K': expose 'ghost' -> 'drive' — visici expose (vnitrni skupina 'ghost' neexistuje)",
            "construct 'K': duplicitni parametr 'size'",
            "construct 'K': 'learning: forbidden' porusen — hrana s ucenou plasticitou 'oja_rule' (pevny "
            "substrat nesmi mit uceni)",
            "module 'M': 'use construct K as k1' — neznamy parametr 'bogus'",
            "module 'M': 'use construct K as k2' — parametr 'gain' nema default a neni predan"}));
}

TEST(Controllers, PortsTrainingAndExposes) {
    const std::string source =
        "neuron Pyr { }\n"
        "controller Good {\n"
        "    interface { observe ctx[4]; control select route[3] top 2; }\n"
        "    expose { h -> ctx; h -> route; }\n"
        "    neurons { h: Pyr[3]; }\n"
        "    training { target: label[3]; }\n"
        "}\n"
        "controller Ports {\n"
        "    interface {\n"
        "        observe ctx;\n"
        "        control select narrow[1];\n"
        "        control gate g top 1;\n"
        "        control select wide[4] top 5;\n"
        "        control polarization p[3];\n"
        "        observe ctx;\n"
        "    }\n"
        "    expose { h -> ctx; h -> narrow; h -> g; h -> wide; h -> p; ghost -> missing; }\n"
        "    neurons { h: Pyr[1]; }\n"
        "    training { target: y[4]; owns: external; objective: reinforcement; reset: never; }\n"
        "}\n"
        // Without select ports the width is 2 per polarization port, else 1 per gate port.
        "controller Gates {\n"
        "    interface { control gate a[3]; control gate b; observe o; }\n"
        "    expose { h -> a; h -> b; }\n"
        "    neurons { h: Pyr[1]; }\n"
        "    training { target: y[3]; }\n"
        "}\n"
        "controller Idle { interface { observe o; } expose { h -> o; } neurons { h: Pyr[1]; } }\n"
        "controller Learner {\n"
        "    interface { control polarization g[2]; }\n"
        "    expose { h -> g; }\n"
        "    neurons { h: Pyr[1]; }\n"
        "    training { target: y[2]; }\n"
        "    connect h -> h { plasticity: temporal_difference; }\n"
        "}\n"
        "construct Frozen { learning: forbidden; use controller Learner as l; }\n"
        "construct Open { use controller Learner as l; }\n";
    EXPECT_EQ(
        errors(source),
        (Strings{
            "controller 'Ports': duplicitni port 'ctx'",
            "controller 'Ports': select port musi mit sirku >= 2",
            "controller 'Ports': 'top K' lze pouzit pouze u select portu",
            "controller 'Ports': select top K musi byt v rozsahu 1..sirka portu",
            "controller 'Ports': vice select portu ma nejednoznacny training target",
            "controller 'Ports': polarization port musi mit sirku presne 2",
            "controller 'Ports': MVP podporuje pouze 'owns: internal learnable', zadano 'external'",
            "controller 'Ports': expose na nedeklarovany port 'missing'",
            "controller 'Ports': expose z nezname skupiny 'ghost'",
            "controller 'Ports': MVP podporuje jen objective supervised",
            "controller 'Ports': MVP vyzaduje reset per_sequence",
            "controller 'Gates': port 'o' nema expose mapovani",
            "controller 'Gates': rozmer targetu 3 neodpovida ridicimu portu 2",
            "controller 'Idle': chybi ridici vystup control",
            "controller 'Idle': training target musi deklarovat rozmer jako target: Name[N]",
            "controller 'Learner': vlastni ucitelnou hranu uvnitr learning: forbidden constructu 'Frozen'"}));
}

TEST(ControllerCycles, OneCyclePerNetworkInSearchOrder) {
    const std::string controller =
        " { interface { control gate g; observe o; } expose { h -> g; h -> o; } neurons { h: Pyr[1]; }"
        " training { target: y[1]; }";
    const std::string source =
        "neuron Pyr { }\n"
        "controller C" +
        controller +
        " }\n"
        "controller S" +
        controller +
        " connect h -> h { delay: 1; } }\n"
        "network Loop {\n"
        "    use controller C as a; use controller C as b; use controller C as c;\n"
        "    connect a.g -> b.o; connect b.g -> c.o; connect b.g -> a.o; connect c.g -> a.o;\n"
        "}\n"
        "network Delayed {\n"
        "    use controller C as a; use controller C as b;\n"
        "    connect a.g -> b.o { delay: 2; } connect b.g -> a.o;\n"
        "}\n"
        "network Stateful { use controller S as s; use controller C as a; connect s.g -> a.o; connect a.g -> "
        "s.o; }\n"
        "network Self { use controller C as a; connect a.g -> a.o; }\n";
    // From a: a -> b, then b's first edge b -> c, then c -> a closes the loop.
    EXPECT_EQ(errors(source),
              (Strings{"network 'Loop': cyklus mezi controllery 'c' -> 'a' bez delay/stavoveho prvku",
                       "network 'Self': cyklus mezi controllery 'a' -> 'a' bez delay/stavoveho prvku"}));
}

TEST(Channels, PublishersSubscribersAndDeadPublishes) {
    const std::string source =
        "source Cam { kind: external; publish retina: signal; subscribe { reward; } }\n"
        "population P { publish retina: state; publish rates: signal; clamp x to cue; }\n"
        "module M { on fire { a = 1; } on wake { a = 1; } on sleep { a = 1; } subscribe { retina; } }\n"
        "event wake when retina > 1;\n"
        "brain B { publish unused: event; subscribe { retina; } }\n";
    const AnalysisResult r = analyze(source);
    EXPECT_EQ(r.errors,
              (Strings{"kanal 'retina' ma nekonzistentni flow_type mezi publishery",
                       "source 'Cam': kanal 'reward' nikdo nepublikuje (visici subscribe/clamp)",
                       "population 'P': kanal 'cue' nikdo nepublikuje (visici subscribe/clamp)",
                       "module 'M' on sleep: kanal 'sleep' nikdo nepublikuje (visici subscribe/clamp)"}));
    EXPECT_EQ(r.warnings, (Strings{"population 'P': kanal 'rates' nikdo neodebira (mrtvy publish)",
                                   "brain 'B': kanal 'unused' nikdo neodebira (mrtvy publish)"}));
}

TEST(Competitions, UnknownCompetitionsAndParticipants) {
    const std::string source =
        "competition Race { participants { left; right; } }\n"
        "module M { }\n"
        "network N { use module M as left; compete Race; compete Ghost every 2 ticks; compete Race; }\n"
        "brain B { use network N as left; use network N as right; compete Race; }\n";
    EXPECT_EQ(errors(source),
              (Strings{"competition 'Race': participant 'right' neni deklarovana instance (use ... as right)",
                       "network 'N': 'compete Ghost' — neznama competition 'Ghost'"}));
}

TEST(PlasticityAndChemistry, SymbolsLimitsAndNeuromodulators) {
    const std::string source =
        "chemistry { dopamine: float = 0.1; }\n"
        "source S { kind: internal; publish reward: signal; }\n"
        "plasticity Rule {\n"
        "    when pre.fired and reward > 0 and gate.open { weight += lr * post.rate * chemistry.dopamine; }\n"
        "    when bogus { weight = gate; }\n"
        "    when chemistry.serotonin > 0 { weight += 1; }\n"
        "    limit weight between 0 and 1;\n"
        "    limit trace between 0 and 2;\n"
        "}\n"
        "event e when chemistry > 1;\n";
    EXPECT_EQ(
        errors(source),
        (Strings{"plasticity 'Rule': neznamy symbol 'gate' (dovoleno: pre, post, weight, chemistry, kanaly)",
                 "plasticity 'Rule': neznamy symbol 'lr' (dovoleno: pre, post, weight, chemistry, kanaly)",
                 "plasticity 'Rule': neznamy symbol 'bogus' (dovoleno: pre, post, weight, chemistry, kanaly)",
                 "plasticity 'Rule': 'limit trace' — omezovat lze jen weight/pre/post",
                 "neznamy neuromodulator 'chemistry.serotonin'", "'chemistry' bez nazvu neuromodulatoru"}));
}

TEST(StimuliAndExperiments, EveryCheckInItsOrder) {
    const std::string source =
        "stimulus S { a from 0 ms to 10 ms; b from 12 ms to 20 ms; }\n"
        "stimulus S { }\n"
        "stimulus T { a from 5 ms to 10 ms; b from 10 ms to 10 ms; c from 8 ms to 12 ms; }\n"
        "stimulus Unused { a from 0 ms to 1 ms; }\n"
        "experiment E {\n"
        "    hypothesis: h1; stimulus: Nope; trials: 0;\n"
        "    branches { x { ablate(oscillators); } x { scale_drive(2); } }\n"
        "    controls { match power tolerance 0 percent; match spike_count tolerance 150 percent; }\n"
        "    metrics { m; m; }\n"
        "    sweep { g: [1, 2, 1]; h: [3]; g: [4, 5]; seeds: 0; }\n"
        "}\n"
        "experiment E {\n"
        "    hypothesis: H12; stimulus: S; seed: 3; fork at 40 ms; trials: 2; branches { c { } }\n"
        "    metrics { firing_rate; } prediction: \"p\"; null: \"n\"; falsification: \"f\";\n"
        "}\n";
    const AnalysisResult r = analyze(source);
    const std::string x = "experiment 'E': ";
    EXPECT_EQ(r.errors,
              (Strings{"stimulus 'S' segment 'b': mezera v case; deklaruj explicitni blank",
                       "duplicitni stimulus 'S'",
                       "stimulus 'S': zadny segment",
                       "stimulus 'T' segment 'a': mezera v case; deklaruj explicitni blank",
                       "stimulus 'T' segment 'b': konec musi byt za zacatkem",
                       "stimulus 'T' segment 'c': prekryva predchozi",
                       x + "'hypothesis' musi mit tvar H<n>, ne 'h1'",
                       x + "neznamy stimulus 'Nope'",
                       x + "chybi 'seed' (ani globalni neni deklarovany)",
                       x + "'trials' musi byt aspon 1",
                       x + "duplicitni vetev 'x'",
                       x + "chybi kontrolni vetev (vetev bez zasahu)",
                       x + "neznama kontrolovana statistika 'power' (firing_rate|spike_count|isi_variance)",
                       x + "tolerance musi byt v (0, 100 %]",
                       x + "tolerance musi byt v (0, 100 %]",
                       x + "duplicitni metrika 'm'",
                       x + "chybi 'prediction' (pre-registrace)",
                       x + "chybi 'null' (pre-registrace)",
                       x + "chybi 'falsification' (pre-registrace)",
                       x + "'seeds' musi byt aspon 1",
                       x + "osa 'g' opakuje hodnotu",
                       x + "osa 'h' ma jednu hodnotu; to neni sweep",
                       x + "duplicitni osa sweepu 'g'",
                       x + "chybi 'fork at <cas>'; vetve musi forkovat z jednoho snapshotu",
                       "duplicitni experiment 'E'",
                       x + "chybi intervencni vetev nebo sweep; neni co srovnavat",
                       x + "'fork at' lezi za koncem stimulu"}));
    EXPECT_EQ(
        r.warnings,
        (Strings{x + "sweep pres 0 seed(y) nedava rozdeleni; interval spolehlivosti bude nedefinovany",
                 "stimulus 'T' nepouziva zadny experiment", "stimulus 'Unused' nepouziva zadny experiment"}));
}

TEST(StimuliAndExperiments, AnEmptyExperimentMissesEverything) {
    const std::string x = "experiment 'Bare': ";
    EXPECT_EQ(
        errors("seed 1;\nexperiment Bare { }"),
        (Strings{
            x + "chybi 'hypothesis'", x + "chybi 'stimulus'", x + "chybi kontrolni vetev (vetev bez zasahu)",
            x + "chybi intervencni vetev nebo sweep; neni co srovnavat",
            x + "zadna metrika; prvni deklarovana je primarni", x + "chybi 'prediction' (pre-registrace)",
            x + "chybi 'null' (pre-registrace)", x + "chybi 'falsification' (pre-registrace)",
            x + "chybi 'fork at <cas>'; vetve musi forkovat z jednoho snapshotu"}));
}

TEST(StimuliAndExperiments, HypothesisForkAndSweepBoundaries) {
    const std::string hypothesis = "experiment 'E': 'hypothesis' musi mit tvar H<n>, ne ";
    const std::string late = "experiment 'E': 'fork at' lezi za koncem stimulu";
    const std::pair<std::string, Strings> rows[] = {
        {"hypothesis: H;", {hypothesis + "'H'"}},      // digits are required
        {"hypothesis: h12;", {hypothesis + "'h12'"}},  // a capital H
        {"hypothesis: H1a;", {hypothesis + "'H1a'"}},  // nothing after the digits
        {"hypothesis: H2024;", {}},                    // any number of digits
        // Two trials of a 100 ms stimulus: the fork must lie before 200 ms.
        {"trials: 2; fork at 150 ms;", {}},
        {"trials: 2; fork at 199999999 ns;", {}},
        {"trials: 2; fork at 200 ms;", {late}},
        {"fork at 0 ms;", {}},
    };
    for (const auto& [extra, expected] : rows) EXPECT_EQ(errors(experiment(extra)), expected) << extra;

    // A sweep replaces the intervention branch; few seeds only warn.
    const AnalysisResult twoSeeds = analyze(
        "seed 1;\nstimulus S { a from 0 ms to 10 ms; }\nexperiment E { hypothesis: H1; stimulus: S; fork at "
        "1 ms;"
        " branches { only { } } metrics { m; } prediction: \"p\"; null: \"n\"; falsification: \"f\";"
        " sweep { stochasticity: [0.5, 1]; seeds: 2; } }");
    EXPECT_EQ(twoSeeds.errors, Strings{});
    EXPECT_EQ(twoSeeds.warnings, Strings{"experiment 'E': sweep pres 2 seed(y) nedava rozdeleni; interval "
                                         "spolehlivosti bude nedefinovany"});
    EXPECT_TRUE(analyze(experiment("sweep { g: linspace(0, 1, 3); seeds: 3; }")).warnings.empty());
}

// The parser's example file: its architecture has a few genuine faults.
TEST(ExampleFile, ArchitectureFindings) {
    const AnalysisResult r = analyze(Testing::readFile(Testing::dataPath("vostel/architecture.vostel")));
    EXPECT_EQ(
        r.errors,
        (Strings{
            "brain 'Observer' connect(src): endpoint 'vision.left' konci u instance 'left' (module "
            "Thalamus), ne u skupiny neuronu",
            "brain 'Observer' connect(dst): endpoint 'vision.right' konci u instance 'right' (module "
            "Thalamus), ne u skupiny neuronu",
            "controller 'Gatekeeper': port 'context' nema expose mapovani",
            "controller 'Gatekeeper': port 'open' nema expose mapovani",
            "controller 'Gatekeeper': port 'tilt' nema expose mapovani",
            "competition 'Salience': participant 'left' neni deklarovana instance (use ... as left)",
            "competition 'Salience': participant 'right' neni deklarovana instance (use ... as right)"}));
    EXPECT_EQ(r.warnings,
              (Strings{"population 'V1': kanal 'rates' nikdo neodebira (mrtvy publish)",
                       "circuit 'Attention': kanal 'focus_state' nikdo neodebira (mrtvy publish)"}));
}
