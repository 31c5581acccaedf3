#include "runtime/random_context.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "common/byte_io.hpp"

namespace Core::Runtime {
namespace {

constexpr std::string_view kMagic{"RNDCTX1\0", 8};
constexpr std::string_view kReplayExhaustedPrefix = "RandomContext replay exhausted: ";
constexpr double kSmallestNormal = 2.2250738585072014e-308;
constexpr double kTwoPi = 6.283185307179586;
// Streams of the remembered name with a smaller index are found by position.
constexpr std::uint64_t kRememberedHandles = 4096;

}  // namespace

RandomContext::Table RandomContext::emptyTable() {
    Table table(8);
    table.max_load_factor(1.0f);
    return table;
}

RandomContext::RandomContext(std::uint64_t masterSeed) : masterSeed_(masterSeed), streams_(emptyTable()) {}

RandomContext::RandomContext(const RandomContext& other)
    : masterSeed_(other.masterSeed_), streams_(other.streams_) {}

// A moved table keeps its nodes, so the handles move along with it.
RandomContext::RandomContext(RandomContext&& other) noexcept
    : masterSeed_(other.masterSeed_),
      streams_(std::move(other.streams_)),
      handleName_(std::move(other.handleName_)),
      handleNameHash_(other.handleNameHash_),
      handles_(std::move(other.handles_)) {
    other.forgetHandles();
}

RandomContext& RandomContext::operator=(const RandomContext& other) {
    if (this != &other) {
        masterSeed_ = other.masterSeed_;
        streams_ = other.streams_;
        forgetHandles();
    }
    return *this;
}

RandomContext& RandomContext::operator=(RandomContext&& other) noexcept {
    if (this != &other) {
        masterSeed_ = other.masterSeed_;
        streams_ = std::move(other.streams_);
        handleName_ = std::move(other.handleName_);
        handleNameHash_ = other.handleNameHash_;
        handles_ = std::move(other.handles_);
        ++handleGeneration_;  // the old table and its handles are gone
        other.forgetHandles();
    }
    return *this;
}

void RandomContext::forgetHandles() {
    handleName_.clear();
    handles_.clear();
    ++handleGeneration_;
}

RandomStream RandomContext::stream(std::string_view name, std::uint64_t index) {
    if (index < handles_.size() && handles_[index] != nullptr && name == handleName_)
        return RandomStream(&handles_[index]->second, handles_[index]->first.name);
    return findStream(name, index);
}

RandomStream RandomContext::findStream(std::string_view name, std::uint64_t index) {
    const bool sameName = !handles_.empty() && name == handleName_;
    const std::uint64_t nameHash = sameName ? handleNameHash_ : stableHash64(name);
    const std::uint64_t hash = streamHashOfHash(nameHash, index);
    auto found = streams_.find(StreamKeyView{name, index, hash});
    if (found == streams_.end()) {
        StreamState fresh;
        fresh.state = deriveStreamSeedOfHash(masterSeed_, nameHash, index);
        found = streams_.emplace(StreamKey{std::string(name), index, hash}, std::move(fresh)).first;
    }
    if (index < kRememberedHandles) {
        if (!sameName) {
            handleName_.assign(name);
            handleNameHash_ = nameHash;
            handles_.clear();
        }
        if (index >= handles_.size()) handles_.resize(index + 1, nullptr);
        handles_[index] = &*found;
    }
    return RandomStream(&found->second, found->first.name);
}

std::vector<std::uint8_t> RandomContext::snapshot() const {
    std::vector<const Table::value_type*> sorted;
    sorted.reserve(streams_.size());
    // When the remembered handles reach every stream (one family, as a
    // simulation's neurons draw from), they are in index order already.
    for (const Table::value_type* entry : handles_)
        if (entry != nullptr) sorted.push_back(entry);
    if (sorted.size() != streams_.size()) {
        sorted.clear();
        for (const auto& entry : streams_) sorted.push_back(&entry);
        std::sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) {
            int byName = a->first.name.compare(b->first.name);  // bytewise, a proper prefix first
            return byName != 0 ? byName < 0 : a->first.index < b->first.index;
        });
    }

    ByteWriter out;
    out.raw(kMagic);
    out.u64(masterSeed_);
    out.u32(static_cast<std::uint32_t>(sorted.size()));
    for (const auto* entry : sorted) {
        const StreamState& s = entry->second;
        out.u32(static_cast<std::uint32_t>(entry->first.name.size()));
        out.raw(entry->first.name);
        out.u64(entry->first.index);
        out.u64(s.state);
        out.u8(static_cast<std::uint8_t>(s.mode));
        out.u64(s.cursor);
        out.u64(s.recorded.size());
        for (std::uint64_t value : s.recorded) out.u64(value);
    }
    return std::move(out).take();
}

bool RandomContext::restore(std::span<const std::uint8_t> bytes) {
    ByteReader in(bytes);
    if (!in.match(kMagic)) return false;
    const std::uint64_t seed = in.u64();
    const std::uint32_t count = in.u32();
    if (!in.ok()) return false;

    struct Parsed {
        StreamKeyView key;  // the name is a view into `bytes`
        StreamState state;
    };
    std::vector<Parsed> parsed;
    constexpr std::size_t kSmallestRecord = 37;  // an empty name and no recorded values
    parsed.reserve(std::min<std::size_t>(count, in.remaining() / kSmallestRecord));
    // Snapshots list streams by name, so one name's hash serves a run of them.
    std::string_view lastName;
    std::uint64_t lastNameHash = stableHash64(lastName);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t nameLength = in.u32();
        if (!in.ok() || nameLength > in.remaining()) return false;
        const std::string_view name = in.raw(nameLength);
        if (name != lastName) {
            lastName = name;
            lastNameHash = stableHash64(name);
        }
        const std::uint64_t index = in.u64();
        StreamState s;
        s.state = in.u64();
        const std::uint8_t mode = in.u8();
        s.cursor = in.u64();
        const std::uint64_t recordedCount = in.u64();
        if (!in.ok() || mode > 2 || recordedCount > in.remaining() / 8 || s.cursor > recordedCount)
            return false;
        s.mode = static_cast<StreamMode>(mode);
        s.recorded.resize(recordedCount);
        for (std::uint64_t& value : s.recorded) value = in.u64();
        parsed.push_back({{name, index, streamHashOfHash(lastNameHash, index)}, std::move(s)});
    }
    if (!in.finished()) return false;

    // A branch restoring its fork usually finds exactly the streams it has:
    // then only their states change, in place, and every handle stays valid.
    std::vector<Table::value_type*> entries;
    if (parsed.size() == streams_.size()) {
        entries.reserve(parsed.size());
        for (const Parsed& p : parsed) {
            const auto found = streams_.find(p.key);
            if (found == streams_.end()) break;
            entries.push_back(&*found);
        }
    }
    if (!parsed.empty() && entries.size() == parsed.size()) {
        std::vector<Table::value_type*> sorted = entries;
        std::sort(sorted.begin(), sorted.end());
        if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
            return false;  // duplicate stream
        for (std::size_t i = 0; i < parsed.size(); ++i) entries[i]->second = std::move(parsed[i].state);
        masterSeed_ = seed;
        return true;
    }

    Table fresh = emptyTable();
    for (Parsed& p : parsed) {
        StreamKey key{std::string(p.key.name), p.key.index, p.key.hash};
        if (!fresh.emplace(std::move(key), std::move(p.state)).second) return false;  // duplicate stream
    }
    masterSeed_ = seed;
    streams_ = std::move(fresh);
    forgetHandles();
    return true;
}

std::uint64_t nextU64Slow(RandomStream stream) {
    StreamState& s = *stream.state_;
    if (s.mode == StreamMode::Replay) {
        if (s.cursor >= s.recorded.size())
            throw ReplayExhausted(std::string(kReplayExhaustedPrefix) + std::string(stream.name_));
        return s.recorded[s.cursor++];
    }
    s.state += kSplitMixGamma;
    const std::uint64_t value = mix64(s.state);
    if (s.mode == StreamMode::Record) s.recorded.push_back(value);
    return value;
}

double standardNormal(RandomStream stream) {
    const double u1 = uniform(stream);
    const double u2 = uniform(stream);
    // uniform() can return exactly 0; the logarithm needs a positive argument.
    const double positive = u1 > 0 ? u1 : kSmallestNormal;
    return std::sqrt(-2.0 * std::log(positive)) * std::cos(kTwoPi * u2);
}

double uniformFor(RandomContext& context, std::string_view name, std::uint64_t index) {
    return uniform(context.stream(name, index));
}

}  // namespace Core::Runtime
