#include "engine/testing/oscillatory_populations.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "common/byte_io.hpp"
#include "common/format.hpp"
#include "common/hash.hpp"
#include "engine/errors.hpp"
#include "experiment/experiment_spec.hpp"

namespace Core::Kvrn::Testing {
namespace {

// Neuron and firing constants no declaration changes.
constexpr double kAdaptationIncrement = 0.1;
constexpr double kAdaptationCoupling = 1.0;
constexpr double kMaxHazard = 1'000'000.0;  // [1/s]

// Stimulus drive while segment "A" or "X" is on.
constexpr double kDriveA = 0.6;
constexpr double kDriveX = 0.35;

// Per sample, the fading traces keep this share of their previous value.
constexpr double kTraceRetention = 0.55;
// The last time from which one more sample interval still fits in model time.
constexpr ModelTime kLastSampleBase = std::numeric_limits<ModelTime>::max() - kSampleInterval;

// Seeds of the oscillator interventions and of the reset-time jitter, each
// mixed with the model's seed so that they differ from one another.
constexpr std::uint64_t kScrambleSalt = 0x5c8a11ed00000001ULL;
constexpr std::uint64_t kJitterSalt = 0x5c8a11ed00000002ULL;
constexpr std::uint64_t kResetJitterSalt = 0x5c8a11ed00000003ULL;
constexpr double kDefaultJitterSigma = 0.5;  // [rad]

// One model snapshot record each: 64 bytes per neuron, 24 per spike, and per
// sample 8 plus 8 per population.
constexpr std::size_t kSpikeRecordBytes = 24;

const std::string kTruncated = "experiment: truncated model snapshot";

// Oscillator ids are 32-bit; more neurons than this cannot each have one.
constexpr std::uint64_t kMaxNeurons = 1'000'000;

ModelArchitecture withModulation(double modulation) {
    ModelArchitecture architecture;
    architecture.modulation = modulation;
    return architecture;
}

// The default stream text of v (six significant digits), as the
// architecture text has always written its numbers.
// The stream's default for a double is the C "%.6g" conversion, so the C
// library writes it directly, without building a stream per number.
std::string shortText(double v) { return formatShort(v); }

// Every digit of v, for quantities whose short text would not tell two
// values apart.
std::string exactText(double v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", v);
    return buffer;
}

// True when the short text reads back as v. A stream reads finite normal
// numbers exactly as strtod does and never reads "inf" or "nan"; a
// subnormal value is left to the stream itself, whose range checks differ.
bool shortTextIsExact(double v) {
    if (!std::isfinite(v)) return false;
    if (std::fpclassify(v) != FP_SUBNORMAL) return std::strtod(shortText(v).c_str(), nullptr) == v;
    std::istringstream in(shortText(v));
    in.imbue(std::locale::classic());
    double back = 0;
    in >> back;
    return back == v;
}

// The C "%f" conversion of v.
std::string fixedText(double v) {
    const int length = std::snprintf(nullptr, 0, "%f", v);
    std::string text(static_cast<std::size_t>(length), '\0');
    std::snprintf(text.data(), text.size() + 1, "%f", v);
    return text;
}

// Reads snapshot fields and throws the truncation message at the first one
// that runs past the end.
class SnapshotReader {
  public:
    explicit SnapshotReader(std::span<const std::uint8_t> bytes) : in_(bytes) {}

    std::uint32_t u32() { return checked(in_.u32()); }
    std::uint64_t u64() { return checked(in_.u64()); }
    std::int64_t i64() { return checked(in_.i64()); }
    double f64() { return checked(in_.f64()); }

    // A count of records of `recordBytes` each; a count that cannot fit in
    // what is left is a truncation too.
    std::uint64_t count(std::size_t recordBytes) {
        const std::uint64_t n = u64();
        if (n > in_.remaining() / recordBytes) throw std::runtime_error(kTruncated);
        return n;
    }

    // A length-prefixed block.
    std::span<const std::uint8_t> block() {
        const std::uint64_t length = count(1);
        const std::string_view raw = in_.raw(static_cast<std::size_t>(length));
        return {reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size()};
    }

  private:
    template <class T>
    T checked(T value) {
        if (!in_.ok()) throw std::runtime_error(kTruncated);
        return value;
    }

    ByteReader in_;
};

// A time in nanoseconds given as a double, rounded to whole nanoseconds.
ModelTime wholeNanoseconds(std::string_view name, double value) {
    if (!(value >= -9.2e18 && value <= 9.2e18))
        throw InvalidExperiment("the model's " + std::string(name) + " is out of range");
    return static_cast<ModelTime>(std::llround(value));
}

void writeBlock(ByteWriter& out, const std::vector<std::uint8_t>& block) {
    out.u64(block.size());
    out.raw(block);
}

}  // namespace

OscillatoryPopulations::OscillatoryPopulations(double modulation)
    : OscillatoryPopulations(withModulation(modulation)) {}

OscillatoryPopulations::OscillatoryPopulations(const ModelArchitecture& architecture)
    : modulation_(architecture.modulation),
      stochasticity_(architecture.stochasticity),
      frequency_(architecture.frequency),
      architecture_(architecture) {
    if (architecture.groupSizes.empty()) throw InvalidExperiment("the model needs at least one population");
    std::uint64_t total = 0;
    for (std::uint64_t size : architecture.groupSizes) {
        if (size == 0) throw InvalidExperiment("every population of the model needs at least one neuron");
        if (size > kMaxNeurons - total)
            throw InvalidExperiment("the model has more than " + std::to_string(kMaxNeurons) + " neurons");
        total += size;
    }
    for (std::uint32_t g = 0; g < architecture.groupSizes.size(); ++g)
        groupOf_.insert(groupOf_.end(), architecture.groupSizes[g], g);
    for (std::uint32_t i = 0; i < total; ++i) allOscillators_.push_back(i);
    modulations_.assign(total, PhaseModulation(bank_));
    neurons_.resize(total);
    streams_.resize(total);
    boundSharer_.resize(total);
    windowBounds_.resize(total);
    windowBoundOf_.resize(total);
    bounds_.reserve(total);
    boundNeurons_.reserve(total);
    landings_.reserve(total);
    landingNeurons_.reserve(total);
    traces_.assign(architecture.groupSizes.size(), 0.0);
    counts_.assign(architecture.groupSizes.size(), 0);
    // Until the first reset nothing may fire.
    firing_.disabled = true;
}

void OscillatoryPopulations::reset(std::uint64_t seed) {
    seed_ = seed;
    context_ = Runtime::RandomContext(seed);
    queue_ = EventQueue();

    const std::uint64_t total = neurons_.size();
    std::vector<Oscillator> oscillators;
    oscillators.reserve(total);
    for (std::uint32_t i = 0; i < total; ++i) {
        // Population 0 starts at exactly 0, population 1 at exactly the offset.
        const std::uint32_t group = groupOf(i);
        const double phase = group == 0 ? 0.0 : static_cast<double>(group) * architecture_.phaseOffset;
        oscillators.push_back({i, frequency_, phase, 1.0});
    }
    bank_ = OscillatorBank(std::move(oscillators));
    if (phaseJitter_ > 0) {
        // A timing jitter of phaseJitter_ ns is this many radians at the bank's frequency.
        const double sigma = frequency_ * kTwoPi * phaseJitter_ * 1e-9;
        phaseJitter(bank_, allOscillators_, sigma, seed ^ kResetJitterSalt);
    }

    modulations_.clear();
    for (std::uint32_t i = 0; i < total; ++i) {
        PhaseModulation m(bank_);
        m.setGain(1.0);
        m.addTerm({i, 0, modulation_, 0.0});
        modulations_.push_back(std::move(m));
    }

    neuronParams_ = NeuronParameters{};
    neuronParams_.driveTimeConstant = architecture_.driveTimeConstant;
    neuronParams_.adaptationTimeConstant = architecture_.adaptationTimeConstant;
    neuronParams_.refractoryDuration = architecture_.refractoryDuration;
    neuronParams_.adaptationIncrement = kAdaptationIncrement;
    neuronParams_.resetDrive = 0.0;
    neuronParams_.flushEpsilon = 1e-15;
    neuronParams_.absoluteRefractory = true;
    neuronParams_.frozenDrive = false;

    firing_ = FiringParameters{};
    firing_.baselineRate = architecture_.baselineRate;
    firing_.beta = architecture_.beta;
    firing_.threshold = architecture_.threshold;
    firing_.adaptationCoupling = kAdaptationCoupling;
    firing_.gain = stochasticity_;
    firing_.maxHazard = kMaxHazard;
    firing_.disabled = false;

    checkedFiring_ = CheckedFiring(firing_);

    for (std::uint64_t i = 0; i < total; ++i) neurons_[i] = initialNeuronState(i);
    forgetDerived();

    now_ = 0;
    nextSample_ = kSampleInterval;
    drive_ = 0;
    driveScale_ = 1.0;
    std::fill(traces_.begin(), traces_.end(), 0.0);
    std::fill(counts_.begin(), counts_.end(), 0);
    spikes_.clear();
    samples_.clear();
    interventionRecords_.clear();
}

void OscillatoryPopulations::beginBranch(std::string_view branch) { branchName_ = branch; }

void OscillatoryPopulations::endBranch(std::string_view) {}

void OscillatoryPopulations::applyStimulus(const StimulusEvent& event) {
    if (event.onset && event.segment == "A")
        drive_ = kDriveA;
    else if (event.onset && event.segment == "X")
        drive_ = kDriveX;
    else
        drive_ = 0;
}

void OscillatoryPopulations::advanceTo(ModelTime time) {
    if (time < now_) throw std::runtime_error("experiment: the runner moved model time back");
    while (now_ < time) {
        // Windows end at sample times, so a sample sees exactly the spikes before it.
        const ModelTime horizon = std::min(nextSample_, time);
        runWindow(horizon);
        now_ = horizon;
        if (horizon == nextSample_) takeSample();
    }
}

void OscillatoryPopulations::takeSample() {
    for (std::size_t g = 0; g < traces_.size(); ++g) {
        traces_[g] = traces_[g] * kTraceRetention + static_cast<double>(counts_[g]);
        counts_[g] = 0;
    }
    samples_.push_back({nextSample_, traces_});
    if (nextSample_ > kLastSampleBase) throw TimeOverflow("KVRN model time overflow");
    nextSample_ += kSampleInterval;
}

void OscillatoryPopulations::forgetDerived() {
    std::fill(streams_.begin(), streams_.end(), std::nullopt);
    sharersKnown_ = false;
}

void OscillatoryPopulations::findSharedModulations() {
    // Neurons are compared with the first few distinct modulations only, so
    // that a model whose modulations all differ spends little on finding out.
    constexpr std::size_t kMaxLeaders = 8;
    std::array<std::uint64_t, kMaxLeaders> leaders{};
    std::size_t leaderCount = 0;
    for (std::uint64_t i = 0; i < modulations_.size(); ++i) {
        boundSharer_[i] = i;
        for (std::size_t l = 0; l < leaderCount; ++l) {
            if (modulations_[leaders[l]].sameFunctionAs(modulations_[i])) {
                boundSharer_[i] = leaders[l];
                break;
            }
        }
        if (boundSharer_[i] == i && leaderCount < kMaxLeaders) leaders[leaderCount++] = i;
    }
    sharersKnown_ = true;
}

double OscillatoryPopulations::windowBound(std::uint64_t neuron, ModelTime horizon) {
    // Equal functions of time have bit-identical bounds over one interval.
    const std::uint64_t sharer = boundSharer_[neuron];
    if (windowBoundOf_[sharer] != window_) {
        windowBounds_[sharer] = modulations_[sharer].upperBound(now_, horizon);
        windowBoundOf_[sharer] = window_;
    }
    return windowBounds_[sharer];
}

void OscillatoryPopulations::startCandidates(ModelTime horizon, double driveBound) {
    const std::uint64_t neuronCount = neurons_.size();
    std::uint64_t first = 0;  // the first neuron left to the one-by-one path
    // Every candidate of the window is worked out before any is scheduled:
    // first all bounds, then the draws in neuron order (for the neurons
    // with a bound above zero), then all landing times, so that the
    // neurons' long chains of arithmetic overlap or share instructions
    // instead of each waiting for the unpredictable "before the horizon?"
    // branch of the one before. Scheduling then follows in neuron order,
    // which gives the same sequence numbers, draws and states as taking the
    // neurons one by one. Only windows where nothing can throw go this way:
    // validated firing parameters, finite modulation bounds and times far
    // from overflowing.
    constexpr ModelTime kFarFromOverflow = 100'000'000'000'000'000;
    if (checkedFiring_.valid() && !firing_.disabled && horizon <= kFarFromOverflow) {
        bounds_.clear();
        boundNeurons_.clear();
        for (; first < neuronCount; ++first) {
            NeuronState& neuron = neurons_[first];
            if (neuron.pendingCandidate != kNoEvent) continue;
            neuron.candidateBound = 0;
            const ModelTime start = detail::candidateStart(neuron, neuronParams_, now_);
            if (start >= horizon) continue;
            const double modulationBound = windowBound(first, horizon) + driveBound;
            if (!std::isfinite(modulationBound)) break;  // the one-by-one path throws for it
            bounds_.push_back({&neuron, start, modulationBound, 0.0});
            boundNeurons_.push_back(first);
        }
        detail::candidateBounds(bounds_, neuronParams_, checkedFiring_, horizon);
        landings_.clear();
        landingNeurons_.clear();
        for (std::size_t r = 0; r < bounds_.size(); ++r) {
            const detail::BoundRequest& request = bounds_[r];
            if (request.bound == 0) continue;
            const double u = Runtime::uniform(streamOf(boundNeurons_[r]));
            landings_.push_back({request.start, request.bound, u, 0});
            landingNeurons_.push_back(boundNeurons_[r]);
        }
        detail::candidateLandings(landings_);
        for (std::size_t c = 0; c < landings_.size(); ++c) {
            const detail::LandingRequest& landing = landings_[c];
            const std::uint64_t n = landingNeurons_[c];
            if (landing.landing < horizon)
                detail::scheduleCandidateAt(neurons_[n], n, landing.landing, landing.bound, queue_);
        }
    }
    for (std::uint64_t i = first; i < neuronCount; ++i) {
        if (neurons_[i].pendingCandidate != kNoEvent) continue;
        scheduleCandidateWith(
            neurons_[i], neuronParams_, checkedFiring_, i, now_, horizon,
            [&] { return windowBound(i, horizon) + driveBound; }, queue_,
            [&] { return Runtime::uniform(streamOf(i)); });
    }
}

void OscillatoryPopulations::runWindow(ModelTime horizon) {
    const std::uint64_t neuronCount = neurons_.size();
    if (!sharersKnown_) findSharedModulations();
    ++window_;
    const double driveBound = std::max(0.0, driveScale_ * drive_);
    startCandidates(horizon, driveBound);
    // The modulation at a candidate, set afresh for each (made once here:
    // clearing it per candidate costs more than the rest of the loop's
    // bookkeeping).
    PhaseModulation::Point point;
    // Events at the horizon itself belong to the next window.
    while (!queue_.empty() && queue_.peekNextTime() < horizon) {
        const Event event = queue_.popNext();
        const std::uint64_t n = event.target;
        if (n >= neuronCount) continue;  // not addressed to any neuron of this model
        NeuronState& neuron = neurons_[n];
        if (event.kind == EventKind::RefractoryEnd) {
            onNeuronEvent(neuron, neuronParams_, event);
        } else if (event.kind == EventKind::SpikeCandidate && event.sequence == neuron.pendingCandidate) {
            // The modulation at the candidate and its bound from there share
            // the phases; the bound is only computed when a next candidate
            // needs it.
            const PhaseModulation& modulation = modulations_[n];
            const auto modulationAt = [&](ModelTime u) {
                modulation.pointAt(u, point);
                return point.value + driveScale_ * drive_;
            };
            const auto modulationBound = [&] {
                return modulation.upperBoundFrom(point, horizon) + driveBound;
            };
            const CandidateOutcome outcome =
                acceptCandidateWith(neuron, neuronParams_, checkedFiring_, n, event, horizon, modulationAt,
                                    modulationBound, queue_, [&] { return Runtime::uniform(streamOf(n)); });
            if (outcome.fired) {
                const std::uint32_t group = groupOf(n);
                spikes_.push_back({event.time, n, group});
                ++counts_[group];
            }
        }
        // Superseded candidates and other kinds are dropped.
    }
}

void OscillatoryPopulations::record(const std::string& kind, const std::string& text) {
    interventionRecords_[kind] = text;
}

void OscillatoryPopulations::applyIntervention(const Intervention& intervention) {
    const std::string& kind = intervention.kind;
    sharersKnown_ = false;  // oscillator shifts and gains may change
    if (kind == "phase_scramble") {
        phaseScramble(bank_, allOscillators_, seed_ ^ kScrambleSalt);
        record(kind, "all oscillators, frequency preserved");
    } else if (kind == "phase_jitter") {
        // Without a parameter the default sigma is used and recorded.
        const double sigma = intervention.parameter.value_or(kDefaultJitterSigma);
        phaseJitter(bank_, allOscillators_, sigma, seed_ ^ kJitterSalt);
        record(kind, fixedText(sigma));
    } else if (kind == "ablate") {
        if (intervention.targets.size() != 1 || intervention.targets.front() != "oscillators")
            throw InvalidExperiment("this model can only ablate oscillators");
        oscillatorGain_ = 0;
        for (PhaseModulation& m : modulations_) m.setGain(0);
        record(kind, "oscillators");
    } else if (kind == "scale_drive") {
        if (!intervention.parameter) throw InvalidExperiment("scale_drive needs a factor");
        driveScale_ = *intervention.parameter;
        record(kind, fixedText(*intervention.parameter));
    } else {
        throw InvalidExperiment("this model does not implement " + kind);
    }
}

std::vector<std::uint8_t> OscillatoryPopulations::snapshot() const {
    const std::vector<std::uint8_t> queue = queue_.snapshot();
    const std::vector<std::uint8_t> bank = bank_.snapshot();
    const std::vector<std::uint8_t> context = context_.snapshot();
    ByteWriter out;
    // The whole snapshot's size, so that it is written without regrowing.
    constexpr std::size_t kHeaderBytes = 10 * 8;
    constexpr std::size_t kNeuronRecordBytes = 8 * 8;
    const std::size_t sampleRecordBytes = 8 + 8 * traces_.size();
    out.reserve(kHeaderBytes + kNeuronRecordBytes * neurons_.size() + 16 * traces_.size() + 8 +
                kSpikeRecordBytes * spikes_.size() + 8 + sampleRecordBytes * samples_.size() + 3 * 8 +
                queue.size() + bank.size() + context.size());
    out.u64(seed_);
    out.i64(now_);
    out.i64(nextSample_);
    out.f64(drive_);
    out.f64(driveScale_);
    out.f64(modulation_);
    out.f64(oscillatorGain_);
    out.f64(stochasticity_);
    out.f64(frequency_);
    out.f64(phaseJitter_);
    for (const NeuronState& n : neurons_) {
        out.f64(n.drive);
        out.f64(n.adaptation);
        out.i64(n.lastUpdate);
        out.i64(n.refractoryEnd);
        out.f64(n.candidateBound);
        out.u64(n.drawIndex);
        out.u64(n.pendingRefractoryEvent);
        out.u64(n.pendingCandidate);
    }
    for (double trace : traces_) out.f64(trace);
    for (std::uint64_t count : counts_) out.u64(count);
    out.u64(spikes_.size());
    for (const PopulationSpike& s : spikes_) {
        out.i64(s.time);
        out.u64(s.neuron);
        out.u32(s.group);
        out.u32(0);  // reserved
    }
    out.u64(samples_.size());
    for (const PopulationSample& s : samples_) {
        out.i64(s.time);
        for (double trace : s.traces) out.f64(trace);
    }
    writeBlock(out, queue);
    writeBlock(out, bank);
    writeBlock(out, context);
    return std::move(out).take();
}

void OscillatoryPopulations::restore(std::span<const std::uint8_t> bytes) {
    // Fields are assigned as they are read; the components below parse their
    // own blocks and change nothing when they refuse them.
    SnapshotReader in(bytes);
    // Shifts and gains may change below; stream handles stay while their
    // neuron's draw index and the context's table do.
    sharersKnown_ = false;
    const std::uint64_t handleGeneration = context_.handleGeneration();
    seed_ = in.u64();
    now_ = in.i64();
    nextSample_ = in.i64();
    drive_ = in.f64();
    driveScale_ = in.f64();
    modulation_ = in.f64();
    oscillatorGain_ = in.f64();
    stochasticity_ = in.f64();
    frequency_ = in.f64();
    phaseJitter_ = in.f64();
    for (std::size_t i = 0; i < neurons_.size(); ++i) {
        NeuronState& n = neurons_[i];
        n.drive = in.f64();
        n.adaptation = in.f64();
        n.lastUpdate = in.i64();
        n.refractoryEnd = in.i64();
        n.candidateBound = in.f64();
        const std::uint64_t drawIndex = in.u64();
        if (drawIndex != n.drawIndex) streams_[i].reset();
        n.drawIndex = drawIndex;
        n.pendingRefractoryEvent = in.u64();
        n.pendingCandidate = in.u64();
    }
    for (double& trace : traces_) trace = in.f64();
    for (std::uint64_t& count : counts_) count = in.u64();

    const std::uint64_t spikeCount = in.count(kSpikeRecordBytes);
    spikes_.clear();
    spikes_.reserve(spikeCount);
    for (std::uint64_t i = 0; i < spikeCount; ++i) {
        PopulationSpike s;
        s.time = in.i64();
        s.neuron = in.u64();
        s.group = in.u32();
        in.u32();  // reserved
        spikes_.push_back(s);
    }
    const std::uint64_t sampleCount = in.count(8 + 8 * traces_.size());
    samples_.clear();
    samples_.reserve(sampleCount);
    for (std::uint64_t i = 0; i < sampleCount; ++i) {
        PopulationSample s;
        s.time = in.i64();
        s.traces.resize(traces_.size());
        for (double& trace : s.traces) trace = in.f64();
        samples_.push_back(std::move(s));
    }

    const std::span<const std::uint8_t> queueBlock = in.block();
    const std::span<const std::uint8_t> bankBlock = in.block();
    const std::span<const std::uint8_t> randomBlock = in.block();
    if (!queue_.restore(queueBlock)) throw std::runtime_error("experiment: queue snapshot rejected");
    if (!bank_.restore(bankBlock)) throw std::runtime_error("experiment: oscillator snapshot rejected");
    if (!context_.restore(randomBlock)) throw std::runtime_error("experiment: random snapshot rejected");
    if (context_.handleGeneration() != handleGeneration)
        std::fill(streams_.begin(), streams_.end(), std::nullopt);

    for (PhaseModulation& m : modulations_) m.setGain(oscillatorGain_);
    interventionRecords_.clear();
}

std::vector<SpikeRecord> OscillatoryPopulations::spikes() const {
    std::vector<SpikeRecord> out;
    out.reserve(spikes_.size());
    for (const PopulationSpike& s : spikes_) {
        SpikeRecord r;
        r.neuron = s.neuron;
        r.group = s.group;
        r.time_ns = s.time;
        out.push_back(std::move(r));
    }
    return out;
}

Trajectory OscillatoryPopulations::trajectory() const {
    Trajectory t;
    for (std::size_t g = 0; g < traces_.size(); ++g) t.dimensionNames.push_back("share" + std::to_string(g));
    t.times.reserve(samples_.size());
    t.states.reserve(samples_.size());
    for (const PopulationSample& s : samples_) {
        double total = s.traces.front();
        for (std::size_t g = 1; g < s.traces.size(); ++g) total += s.traces[g];
        // Without any activity every share is 0 rather than undefined.
        const double divisor = total > 0 ? total : 1.0;
        std::vector<double> shares;
        shares.reserve(s.traces.size());
        for (double trace : s.traces) shares.push_back(trace / divisor);
        t.times.push_back(s.time);
        t.states.push_back(std::move(shares));
    }
    return t;
}

std::string OscillatoryPopulations::architectureDescription() const {
    const ModelArchitecture fixed;
    const ModelArchitecture& a = architecture_;
    std::string text = "oscillatory-populations n=" + std::to_string(neurons_.size()) +
                       " g=" + std::to_string(a.groupSizes.size()) + " f=" + shortText(frequency_) +
                       " jitter=" + shortText(phaseJitter_) + " sigma=" + shortText(stochasticity_) +
                       " modulation=" + shortText(modulation_) + " baseline=" + shortText(a.baselineRate) +
                       " beta=" + shortText(a.beta) + " tauM=" + std::to_string(a.driveTimeConstant) +
                       " refractory=" + std::to_string(a.refractoryDuration);
    // The fixed test model's text ends here. Anything else that differs
    // from it is appended, so that no two architectures share a text.
    const std::pair<const char*, double> shortened[] = {
        {"f", frequency_},           {"jitter", phaseJitter_},     {"sigma", stochasticity_},
        {"modulation", modulation_}, {"baseline", a.baselineRate}, {"beta", a.beta},
    };
    for (const auto& [name, value] : shortened) {
        if (!shortTextIsExact(value)) text += std::string(" ") + name + ".exact=" + exactText(value);
    }
    if (std::any_of(a.groupSizes.begin(), a.groupSizes.end(),
                    [](std::uint64_t size) { return size != kGroupNeurons; })) {
        text += " sizes=";
        for (std::size_t g = 0; g < a.groupSizes.size(); ++g)
            text += (g == 0 ? "" : ",") + std::to_string(a.groupSizes[g]);
    }
    if (a.phaseOffset != fixed.phaseOffset) text += " phase=" + exactText(a.phaseOffset);
    if (a.adaptationTimeConstant != fixed.adaptationTimeConstant)
        text += " tauA=" + std::to_string(a.adaptationTimeConstant);
    if (a.threshold != fixed.threshold) text += " threshold=" + exactText(a.threshold);
    return text;
}

std::uint64_t OscillatoryPopulations::architectureHash() const {
    return stableHash64(architectureDescription());
}

std::string OscillatoryPopulations::synapseLog() const {
    // This model has no plastic synapses: the header only.
    return "edge,time_ns,old,new,rule\n";
}

void OscillatoryPopulations::setParameter(std::string_view name, double value) {
    if (name == "stochasticity")
        setStochasticity(value);
    else if (name == "modulation")
        setModulation(value);
    else if (name == "frequency")
        setFrequency(value);
    else if (name == "phase_jitter")
        setPhaseJitter(value);
    else if (name == "phase_offset")
        architecture_.phaseOffset = value;
    else if (name == "tau_m")
        architecture_.driveTimeConstant = wholeNanoseconds(name, value);
    else if (name == "tau_a")
        architecture_.adaptationTimeConstant = wholeNanoseconds(name, value);
    else if (name == "refractory")
        architecture_.refractoryDuration = wholeNanoseconds(name, value);
    else if (name == "threshold")
        architecture_.threshold = value;
    else if (name == "baseline")
        architecture_.baselineRate = value;
    else if (name == "beta")
        architecture_.beta = value;
    else
        throw InvalidExperiment("this model has no parameter " + std::string(name));
}

std::vector<std::pair<std::string, std::string>> OscillatoryPopulations::fixedQuantities() {
    return {
        {"adaptation added at each spike", shortText(kAdaptationIncrement)},
        {"adaptation coupling of the hazard", shortText(kAdaptationCoupling)},
        {"drive after a spike", "0"},
        {"maximum hazard", "1000000 Hz"},
        {"stimulus drive during segment A", shortText(kDriveA)},
        {"stimulus drive during segment X", shortText(kDriveX)},
        {"sample interval", std::to_string(kSampleInterval / 1'000'000) + " ms"},
        {"share of a trace kept from one sample to the next", shortText(kTraceRetention)},
    };
}

ModelArchitecture OscillatoryPopulations::architecture() const {
    ModelArchitecture a = architecture_;
    a.frequency = frequency_;
    a.modulation = modulation_;
    a.stochasticity = stochasticity_;
    return a;
}

}  // namespace Core::Kvrn::Testing
