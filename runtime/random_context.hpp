#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/hash.hpp"

// The single source of randomness of a simulation: one master seed and a
// table of independent SplitMix64 streams, each named by a text and an index.
// A stream's numbers depend only on (master seed, name, index), never on the
// order in which streams are first used.
namespace Core::Runtime {

// Thrown when a replaying stream has served every recorded value.
struct ReplayExhausted : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The byte values are part of the snapshot format.
enum class StreamMode : std::uint8_t { Live = 0, Record = 1, Replay = 2 };

// The SplitMix64 increment (2^64 divided by the golden ratio, made odd).
inline constexpr std::uint64_t kSplitMixGamma = 0x9e3779b97f4a7c15ULL;

// The SplitMix64 finaliser: a bijective 64-bit mixer.
constexpr std::uint64_t mix64(std::uint64_t z) noexcept {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// Starting state of stream (name, index) under a master seed, from the
// name's stableHash64.
constexpr std::uint64_t deriveStreamSeedOfHash(std::uint64_t seed, std::uint64_t nameHash,
                                               std::uint64_t index) noexcept {
    return mix64(mix64(nameHash ^ mix64(seed + kSplitMixGamma)) ^ index);
}

// Starting state of stream (name, index) under a master seed.
constexpr std::uint64_t deriveStreamSeed(std::uint64_t seed, std::string_view name,
                                         std::uint64_t index) noexcept {
    return deriveStreamSeedOfHash(seed, stableHash64(name), index);
}

// Bucket hash of the stream table, from the name's stableHash64;
// independent of the master seed.
constexpr std::uint64_t streamHashOfHash(std::uint64_t nameHash, std::uint64_t index) noexcept {
    return mix64(mix64(nameHash) ^ index);
}

// Bucket hash of the stream table; independent of the master seed.
constexpr std::uint64_t streamHash(std::string_view name, std::uint64_t index) noexcept {
    return streamHashOfHash(stableHash64(name), index);
}

struct StreamState {
    std::uint64_t state = 0;  // SplitMix64 counter; does not move while replaying
    StreamMode mode = StreamMode::Live;
    std::vector<std::uint64_t> recorded;  // values drawn in Record mode, served in Replay mode
    std::uint64_t cursor = 0;             // index of the next recorded value to serve
};

// A handle to one stream of a context. It stays valid (entries are never
// erased and never move) until the context's handleGeneration() changes: an
// assignment, or a restore() of other streams than the context has, replaces
// the whole table and so invalidates every handle taken before.
class RandomStream {
  public:
    std::string_view name() const { return name_; }
    const StreamState& state() const { return *state_; }
    // Record appends every further draw to the recorded values; Replay serves
    // the recorded values from the cursor on; Live just draws. Switching keeps
    // the recorded values and the cursor.
    void setMode(StreamMode mode) const { state_->mode = mode; }

  private:
    friend class RandomContext;
    friend std::uint64_t nextU64(RandomStream stream);
    friend std::uint64_t nextU64Slow(RandomStream stream);
    RandomStream(StreamState* state, std::string_view name) : state_(state), name_(name) {}

    StreamState* state_;
    std::string_view name_;
};

class RandomContext {
  public:
    explicit RandomContext(std::uint64_t masterSeed);
    // Copies and moves carry the streams; the remembered handles (see
    // stream()) are never shared, since they point into one table.
    RandomContext(const RandomContext& other);
    RandomContext(RandomContext&& other) noexcept;
    RandomContext& operator=(const RandomContext& other);
    RandomContext& operator=(RandomContext&& other) noexcept;
    ~RandomContext() = default;

    // Finds stream (name, index), creating it from the master seed on first use.
    // The streams of the most recently used name are remembered by index, so
    // a simulation drawing from one family of streams ("spontaneous", neuron)
    // finds them without hashing; which streams exist is exactly as without.
    RandomStream stream(std::string_view name, std::uint64_t index);

    std::uint64_t masterSeed() const { return masterSeed_; }
    // Changes whenever stream handles taken before may have become invalid
    // (the table was replaced by an assignment or a restore), so that a
    // caller keeping handles knows when to look them up again.
    std::uint64_t handleGeneration() const { return handleGeneration_; }
    std::size_t streamCount() const { return streams_.size(); }

    // RNDCTX1 bytes: the master seed and every stream, sorted by name bytes
    // and then index, so the bytes never depend on the table's layout.
    std::vector<std::uint8_t> snapshot() const;
    // Replaces seed and table with those in `bytes` and answers true, or
    // answers false on malformed input and leaves the context unchanged.
    // When `bytes` hold exactly the streams the context has, their states
    // are replaced in place and handles stay valid.
    bool restore(std::span<const std::uint8_t> bytes);

  private:
    // Keys carry their streamHash, computed once, so that the table never
    // hashes a name again.
    struct StreamKey {
        std::string name;
        std::uint64_t index;
        std::uint64_t hash;
    };
    // Lookups go by a view of the name, so finding a stream builds no string.
    struct StreamKeyView {
        std::string_view name;
        std::uint64_t index;
        std::uint64_t hash;
    };
    struct StreamKeyHash {
        using is_transparent = void;
        std::size_t operator()(const StreamKey& key) const noexcept {
            return static_cast<std::size_t>(key.hash);
        }
        std::size_t operator()(const StreamKeyView& key) const noexcept {
            return static_cast<std::size_t>(key.hash);
        }
    };
    struct StreamKeyEqual {
        using is_transparent = void;
        template <class A, class B>
        bool operator()(const A& a, const B& b) const noexcept {
            return a.index == b.index && std::string_view(a.name) == std::string_view(b.name);
        }
    };
    using Table = std::unordered_map<StreamKey, StreamState, StreamKeyHash, StreamKeyEqual>;

    static Table emptyTable();
    void forgetHandles();
    // stream() when the handle is not remembered: the table lookup.
    [[gnu::noinline]] RandomStream findStream(std::string_view name, std::uint64_t index);

    std::uint64_t masterSeed_;
    Table streams_;
    // Entries of streams_ (which never move) for streams (handleName_, i),
    // by i; null where not looked up yet.
    std::string handleName_;
    std::uint64_t handleNameHash_ = 0;  // stableHash64(handleName_)
    std::uint64_t handleGeneration_ = 0;
    std::vector<Table::value_type*> handles_;
};

// nextU64 for a stream that records or replays.
std::uint64_t nextU64Slow(RandomStream stream);

// The next 64 random bits of a stream, by its mode (see StreamMode). Throws
// ReplayExhausted, changing nothing, when a replaying stream has run out.
// Live streams, the usual case, draw inline.
inline std::uint64_t nextU64(RandomStream stream) {
    StreamState& s = *stream.state_;
    if (s.mode != StreamMode::Live) return nextU64Slow(stream);
    s.state += kSplitMixGamma;
    return mix64(s.state);
}

// A double in [0, 1) from the top 53 bits of one draw: exactly the doubles
// k x 2^-53, each equally likely, and never 1.0. 53 bits fill a double's
// significand exactly, so the conversion is exact.
inline double uniform(RandomStream stream) {
    constexpr double kTwoToMinus53 = 1.1102230246251565e-16;
    return static_cast<double>(nextU64(stream) >> 11) * kTwoToMinus53;
}

// One standard normal variate by Box-Muller from two uniforms (in that order).
double standardNormal(RandomStream stream);

// One uniform from stream (name, index) of `context`.
double uniformFor(RandomContext& context, std::string_view name, std::uint64_t index);

}  // namespace Core::Runtime
