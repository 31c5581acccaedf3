// RandomContext::restore over arbitrary bytes. Besides crashes and undefined
// behaviour it checks that restore accepts exactly the well-formed RNDCTX1
// inputs, leaves the context untouched when it refuses, and that an accepted
// context snapshots to a stable form whose streams can be drawn from.

#include <set>
#include <string>
#include <utility>

#include "common/byte_io.hpp"
#include "fuzz_support.hpp"
#include "runtime/random_context.hpp"

using namespace Core::Runtime;

namespace {

struct StreamId {
    std::string name;
    std::uint64_t index;
    auto operator<=>(const StreamId&) const = default;
};

// An independent reading of the format: the streams of a well-formed input,
// or false.
bool wellFormed(std::span<const std::uint8_t> bytes, std::vector<StreamId>& streams) {
    Core::ByteReader in(bytes);
    if (!in.match(std::string_view("RNDCTX1\0", 8))) return false;
    in.u64();
    const std::uint32_t count = in.u32();
    std::set<StreamId> seen;
    for (std::uint32_t i = 0; i < count && in.ok(); ++i) {
        const std::uint32_t length = in.u32();
        StreamId id{std::string(in.raw(length)), in.u64()};
        in.u64();
        const std::uint8_t mode = in.u8();
        const std::uint64_t cursor = in.u64();
        const std::uint64_t recorded = in.u64();
        if (!in.ok() || mode > 2 || cursor > recorded || recorded > in.remaining() / 8) return false;
        in.raw(static_cast<std::size_t>(recorded) * 8);
        if (!seen.insert(id).second) return false;
        streams.push_back(std::move(id));
    }
    return in.finished();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto bytes = Fuzz::input(data, size);

    RandomContext context(42);
    nextU64(context.stream("spontaneous", 3));
    const Fuzz::Bytes before = context.snapshot();

    std::vector<StreamId> streams;
    const bool expected = wellFormed(bytes, streams);
    const bool accepted = context.restore(bytes);
    Fuzz::require(accepted == expected, "restore disagrees with the format");
    if (!accepted) {
        Fuzz::require(context.snapshot() == before, "a refused restore changed the context");
        return 0;
    }

    Fuzz::require(context.streamCount() == streams.size(), "stream count after restore");
    const Fuzz::Bytes first = context.snapshot();
    RandomContext again(0);
    Fuzz::require(again.restore(first), "a context's own snapshot was refused");
    Fuzz::require(again.snapshot() == first, "snapshot is not stable across restore");

    // Every restored stream serves draws in its mode; a replaying stream may
    // run out, which is the one exception drawing can throw.
    for (const StreamId& id : streams) {
        RandomStream stream = context.stream(id.name, id.index);
        for (int i = 0; i < 3; ++i) {
            try {
                const double u = uniform(stream);
                Fuzz::require(u >= 0.0 && u < 1.0, "uniform outside [0, 1)");
            } catch (const ReplayExhausted&) {
                break;
            }
        }
    }
    Fuzz::require(context.streamCount() == streams.size(), "drawing created a stream");
    return 0;
}
