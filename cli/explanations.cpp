#include "cli/explanations.hpp"

#include <cstring>
#include <iterator>
#include <sstream>

namespace Core::Cli {

namespace {

// A fixed stretch of a language message, and what it means in English with
// the usual fix. The stretches are the constant parts of the messages; the
// names and values spliced into a message are not part of them.
struct Explanation {
    const char* czech;
    const char* english;
};

const Explanation kExplanations[] = {
    // Characters and tokens.
    {"neukonceny blokovy komentar", "unterminated block comment: close the /* with */"},
    {"neukonceny retezec", "unterminated string: close the quote on the same line"},
    {"identifikator je delsi nez ", "the name is longer than the limit shown: use a shorter name"},
    {"retezec je delsi nez ", "the string is longer than the limit shown: shorten it"},
    {"neznamy znak '", "unknown character: remove it, or put it inside a string or comment"},
    {"prilis hluboke vnoreni", "nesting too deep: flatten the expression or block"},
    {"ocekavano klicove slovo '", "expected the keyword shown in quotes here"},
    {"ocekavano ", "expected the token named right after 'ocekavano'; '(u X)' shows the token found instead"},
    {"ocekavan identifikator", "expected a name (letters, digits, _; not starting with a digit)"},
    {"ocekavano cele cislo", "expected a whole number"},
    {"ocekavano cislo", "expected a number"},
    {"ocekavan retezcovy literal", "expected a string in double quotes"},
    {"ocekavana doba trvani", "expected a duration, a number with a time unit such as 25 ms"},
    {"chybi jednotka casu (ns|us|ms|s) u ", "a duration needs a time unit: ns, us, ms or s (e.g. 75 ms)"},
    {"doba trvani neni cely nasobek nanosekundy",
     "durations are whole nanoseconds: write a value that is a whole number of ns"},
    {"doba trvani mimo rozsah",
     "duration out of range (model time ends near 292 years): use a smaller value"},
    {"ocekavan vyraz", "expected an expression"},
    {"ocekavan literal (cislo/bool/retezec)", "expected a literal: a number, true/false or a string"},
    {"ocekavan operator prirazeni", "expected an assignment operator: = += -= *= /="},
    // File structure.
    {"ocekavan retezec verze za 'vostel'", "write the language version as a string: vostel \"2.0\";"},
    {"ocekavan retezec runtime za 'runtime'", "write the runtime as a string: runtime \"kvrn\";"},
    {"neocekavana deklarace na nejvyssi urovni",
     "unexpected top-level declaration: only vostel, runtime, seed, stimulus, experiment and the "
     "architecture declarations may stand at the top of a file"},
    {"jazykovy povrch runtime 2 vyzaduje",
     "these constructs belong to language version 2.0: start the file "
     "with vostel \"2.0\";"},
    {"jazykovy povrch runtime 3 vyzaduje",
     "these constructs belong to language version 3.0: start the file "
     "with vostel \"3.0\";"},
    {"pozaduje neznamou capability",
     "the construct asks for a capability no runtime knows: check its spelling"},
    {"pozaduje capability",
     "the selected runtime lacks a capability this construct needs: choose another "
     "runtime or drop the construct"},
    {"konstrukt 'experiment' pozaduje capability 'experiment'",
     "experiments need a runtime that runs them: declare runtime \"kvrn\";"},
    {"rezervovane jmeno 'global_error' je zakazane",
     "the name global_error is reserved; prediction errors must have local targets: rename it"},
    // Stimulus.
    {": zadny segment", "the stimulus has no segment: add one, e.g. A from 0 ms to 75 ms;"},
    {"konec musi byt za zacatkem", "a segment must end after it starts: swap or fix its times"},
    {"prekryva predchozi", "this segment overlaps the previous one: start it where the previous one ends"},
    {"mezera v case; deklaruj explicitni blank",
     "segments must tile the trial without gaps: fill the gap with an explicit segment, e.g. blank"},
    {"nepouziva zadny experiment", "no experiment uses this stimulus (a warning): use it or delete it"},
    // Experiment properties.
    {"neznama vlastnost experiment",
     "unknown experiment property; the ones allowed are listed in parentheses"},
    {"chybi 'hypothesis'", "the experiment needs a hypothesis: hypothesis: H1;"},
    {"'hypothesis' musi mit tvar H<n>, ne ", "a hypothesis is written H followed by a number, e.g. H2"},
    {"chybi 'stimulus'", "the experiment needs a stimulus: stimulus: NAME; naming a declared stimulus"},
    {"neznamy stimulus ", "no stimulus of this name is declared: declare it or fix the name"},
    {"chybi 'seed' (ani globalni neni deklarovany)",
     "no seed: write seed N; in the experiment or once at the top of the file"},
    {"'trials' musi byt aspon 1", "trials must be at least 1"},
    {"duplicitni vetev ", "two branches have this name: rename one"},
    {"chybi kontrolni vetev (vetev bez zasahu)",
     "no control branch: add a branch without interventions, e.g. control { }"},
    {"chybi intervencni vetev nebo sweep; neni co srovnavat",
     "nothing to compare: add a branch with an intervention, or a sweep block"},
    {"neznama kontrolovana statistika ",
     "unknown matched-control statistic: use firing_rate, spike_count or isi_variance"},
    {"tolerance musi byt v (0, 100 %]", "a tolerance is a percentage above 0 and at most 100"},
    {"zadna metrika; prvni deklarovana je primarni",
     "no metric: declare at least one in metrics { ... } (the first is the primary one)"},
    {"duplicitni metrika ", "this metric is declared twice: remove one"},
    {"chybi 'prediction' (pre-registrace)", "the pre-registration needs a prediction: prediction: \"...\";"},
    {"chybi 'null' (pre-registrace)", "the pre-registration needs a null result: null: \"...\";"},
    {"chybi 'falsification' (pre-registrace)",
     "the pre-registration needs a falsification criterion: falsification: \"...\";"},
    {"'fork at' lezi za koncem stimulu", "the fork time lies after the end of the stimulus: fork earlier"},
    {"chybi 'fork at <cas>'; vetve musi forkovat z jednoho snapshotu",
     "no fork time: branches fork from one snapshot, so write fork at <time>; e.g. fork at 25 ms;"},
    // Sweeps.
    {"ocekavana hodnota osy", "expected a value of the sweep axis: a number, a list or linspace(...)"},
    {"linspace potrebuje aspon 2 body", "linspace needs at least 2 points"},
    {"linspace smi mit nejvyse ", "linspace may have at most the number of points shown: split the sweep"},
    {"sweep musi deklarovat 'seeds'", "a sweep must say how many seeds each point runs: seeds: 6;"},
    {"'seeds' musi byt aspon 1", "seeds must be at least 1"},
    {"sweep bez parametru", "the sweep has no axis: add one, e.g. stochasticity: [0.5, 1, 2];"},
    {"duplicitni osa sweepu ", "this sweep axis is declared twice: merge the values into one axis"},
    {"ma jednu hodnotu; to neni sweep", "an axis with one value is not a sweep: give it two or more values"},
    {"opakuje hodnotu", "the axis repeats a value: each value may appear once"},
    {"nedava rozdeleni; interval spolehlivosti bude nedefinovany",
     "too few seeds to estimate spread (a warning): with fewer than three seeds the confidence interval is "
     "undefined or very wide; raise seeds"},
    // Architecture declarations.
    {"duplicitni ", "this name is declared twice at the same level: rename one"},
    {"duplicitni port ", "two ports have this name: rename one"},
    {"duplicitni parametr ", "two parameters have this name: rename one"},
    {"neznamy parametr ", "this parameter is not declared by the construct: check the spelling"},
    {"nema default a neni predan", "this parameter has no default and was not passed: pass a value for it"},
    {"ma neznamy typ neuronu ", "the group names a neuron type that is not declared"},
    {"neznamy typ ", "the use statement names a type that is not declared at that level"},
    {"za skupinou neuronu", "an endpoint cannot continue past a neuron group"},
    {"neznamy segment ", "an endpoint segment names nothing declared: check the path"},
    {"za neuronem", "an endpoint cannot continue past a single neuron"},
    {"ne u skupiny neuronu", "an endpoint must end at a neuron group, not at an instance"},
    {"nelze sestoupit do ", "the endpoint cannot descend into this instance: its type is unknown"},
    {"podporovan je pouze adapter low_rank", "only low_rank adapters are supported"},
    {"neznamy parametr low_rank adapteru", "unknown low_rank adapter parameter"},
    {"low_rank adapter musi mit jmeno", "a low_rank adapter needs a name"},
    {"low_rank adapter rank musi byt kladny", "the adapter rank must be positive"},
    {"low_rank adapter alpha musi byt konecne kladne cislo",
     "the adapter alpha must be a finite positive number"},
    {"low_rank adapter podporuje pouze activation: linear", "the adapter supports only activation: linear"},
    {"low_rank adapter podporuje pouze learning: eligibility",
     "the adapter supports only learning: eligibility"},
    {"low_rank adapter podporuje pouze init_a: kaiming_uniform",
     "the adapter supports only init_a: kaiming_uniform"},
    {"low_rank adapter vyzaduje init_b: zero", "the adapter requires init_b: zero"},
    {"base path low_rank adapteru musi byt zmrazena", "the adapter's base path must be frozen"},
    {"neznama vlastnost connect", "unknown connect property; the allowed ones are listed in parentheses"},
    {"ocekavana uroven use", "expected the level of a use statement, one of those in parentheses"},
    {"ocekavan typ toku (signal|event|state)", "expected a flow type: signal, event or state"},
    {"neznamy learning prikaz", "unknown learning statement: rule, rate or enabled"},
    {"grow when|rate|weight|delay", "a grow statement takes when, rate, weight or delay"},
    {"prune when|rate", "a prune statement takes when or rate"},
    {"neznamy growth prikaz", "unknown growth statement"},
    {"neznamy ignition prikaz", "unknown ignition statement: score, threshold, window or fire when"},
    {"ocekavano cislo v poisson(...)", "poisson(...) needs a number"},
    {"neznamy rezim (sync|async|poisson)", "unknown mode: sync, async or poisson"},
    {"neznamy focus prikaz", "unknown focus statement"},
    {"neznamy memory prikaz", "unknown memory statement: type, capacity or decay"},
    {"neznamy polarize prikaz", "unknown polarize statement: alpha, eta, mu or dim"},
    {"ocekavan retezcovy literal ve 'vocab'", "vocab takes a string"},
    {"ocekavana cesta (retezec) ve 'vocab_file'", "vocab_file takes a path in double quotes"},
    {"neznamy klic v output bloku", "unknown key in an output block: vocab, vocab_file or loss"},
    {"ocekavano 'input' nebo 'output' v interface", "an interface lists input and output ports"},
    {"podporovane control porty: gate/select/polarization", "control ports are gate, select or polarization"},
    {"ocekavano observe nebo control v interface controlleru",
     "a controller interface lists observe and control ports"},
    {"neznama training property controlleru", "unknown training property of a controller"},
    {"neznamy prvek tela",
     "unknown statement in this declaration's body; the allowed ones are listed in "
     "parentheses where given"},
    {"neznamy prvek plasticity", "unknown plasticity statement; the allowed ones are listed in parentheses"},
    {"selector musi byt 'emergent' nebo 'argmax'", "selector is emergent or argmax"},
    {"neznamy prvek competition",
     "unknown competition statement; the allowed ones are listed in parentheses"},
    {"kind musi byt external|internal", "kind is external or internal"},
    {"neznamy prvek zdroje", "unknown source statement: kind, publish or subscribe"},
    {"'by' musi byt konstantni cislo v rozsahu 0..1", "by must be a constant number from 0 to 1"},
    {"source musi byt control polarization port sirky 2",
     "the source must be a polarization control port of "
     "width 2"},
    {"target musi lezet v modulu s blokem polarize", "the target must lie in a module with a polarize block"},
    {"jedna polarizacni jednotka smi mit jen jeden controller", "a polarization unit takes one controller"},
    {"port neni deklarovan v interface", "expose names a port the interface does not declare"},
    {"visici expose", "expose names an inner group that does not exist"},
    {"'learning: forbidden' porusen",
     "learning: forbidden is violated: a fixed substrate may not have a "
     "learned edge; remove the plasticity"},
    {"select port musi mit sirku >= 2", "a select port needs width 2 or more"},
    {"'top K' lze pouzit pouze u select portu", "top K applies to select ports only"},
    {"select top K musi byt v rozsahu 1..sirka portu", "top K must lie between 1 and the port width"},
    {"polarization port musi mit sirku presne 2", "a polarization port has width exactly 2"},
    {"vice select portu ma nejednoznacny training target",
     "several select ports make the training target ambiguous: keep one"},
    {"chybi ridici vystup control", "the controller has no control output: declare one"},
    {"MVP podporuje pouze 'owns: internal learnable'", "only owns: internal learnable is supported"},
    {"expose na nedeklarovany port ", "expose to an undeclared port"},
    {"expose z nezname skupiny ", "expose from an unknown group"},
    {"nema expose mapovani", "this port has no expose mapping: add one"},
    {"MVP podporuje jen objective supervised", "only objective supervised is supported"},
    {"MVP vyzaduje reset per_sequence", "reset per_sequence is required"},
    {"neodpovida ridicimu portu ", "the target width does not match the control port"},
    {"training target musi deklarovat rozmer jako target: Name[N]",
     "declare the training target's width as target: Name[N]"},
    {"vlastni ucitelnou hranu uvnitr learning: forbidden constructu",
     "a learnable edge inside a learning: forbidden construct is not allowed"},
    {"cyklus mezi controllery", "controllers form a cycle without a delay or state element: add a delay"},
    {"ma nekonzistentni flow_type mezi publishery", "publishers of this channel disagree on its flow type"},
    {"nikdo nepublikuje (visici subscribe/clamp)",
     "nobody publishes this channel: add a publish or remove "
     "the subscribe/clamp"},
    {"nikdo neodebira (mrtvy publish)", "nobody subscribes to this channel (a warning)"},
    {"neznama competition ", "compete names an undeclared competition"},
    {"neni deklarovana instance", "a competition participant must be a declared instance (use ... as NAME)"},
    {"neznamy symbol ", "unknown symbol in a rule: allowed are pre, post, weight, chemistry and channels"},
    {"omezovat lze jen weight/pre/post", "limit applies to weight, pre or post only"},
    {"'chemistry' bez nazvu neuromodulatoru", "chemistry needs a neuromodulator name: chemistry.NAME"},
    {"neznamy neuromodulator 'chemistry.", "unknown neuromodulator"},
};

// Starts the line under a language message.
const char* const kEnglishPrefix = "  (en) ";

}  // namespace

std::string explainMessage(const std::string& message) {
    const Explanation* best = nullptr;
    for (const Explanation& entry : kExplanations) {
        if (message.find(entry.czech) == std::string::npos) continue;
        if (best == nullptr || std::strlen(entry.czech) > std::strlen(best->czech)) best = &entry;
    }
    return best == nullptr ? std::string() : std::string(best->english);
}

std::string withExplanations(const std::string& text) {
    std::istringstream in(text);
    std::string out;
    for (std::string line; std::getline(in, line);) {
        out += line + "\n";
        const std::string english = explainMessage(line);
        // Indented as deep as the message, and two more.
        if (!english.empty())
            out += line.substr(0, line.find_first_not_of(' ')) + kEnglishPrefix + english + "\n";
    }
    return out;
}

}  // namespace Core::Cli
