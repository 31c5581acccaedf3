#include "runtime/random_context.hpp"

#include <cmath>
#include <sstream>

#include "common/byte_io.hpp"
#include "support/expect_throws.hpp"
#include "support/golden.hpp"

using namespace Core::Runtime;

namespace {

std::vector<std::uint64_t> draws(RandomContext& context, std::string_view name, std::uint64_t index,
                                 int count) {
    std::vector<std::uint64_t> values;
    for (int i = 0; i < count; ++i) values.push_back(nextU64(context.stream(name, index)));
    return values;
}

struct StreamRecord {
    std::string name;
    std::uint64_t index;
    std::uint64_t state;
    std::uint8_t mode;
    std::uint64_t cursor;
    std::vector<std::uint64_t> recorded;
};

// Hand-built RNDCTX1 bytes, so tests can inject states no running context makes.
std::vector<std::uint8_t> contextBytes(std::uint64_t seed, const std::vector<StreamRecord>& streams) {
    Core::ByteWriter out;
    out.raw(std::string_view("RNDCTX1\0", 8));
    out.u64(seed);
    out.u32(static_cast<std::uint32_t>(streams.size()));
    for (const StreamRecord& s : streams) {
        out.u32(static_cast<std::uint32_t>(s.name.size()));
        out.raw(s.name);
        out.u64(s.index);
        out.u64(s.state);
        out.u8(s.mode);
        out.u64(s.cursor);
        out.u64(s.recorded.size());
        for (std::uint64_t v : s.recorded) out.u64(v);
    }
    return std::move(out).take();
}

}  // namespace

TEST(RandomContext, MatchesReferenceTable) {
    const auto rows = Testing::readTsv(Testing::dataPath("golden/random.tsv"));
    ASSERT_EQ(rows.size(), 7u);
    for (const auto& row : rows) {
        RandomContext context(std::stoull(row[0]));
        const RandomStream stream = context.stream(row[1], std::stoull(row[2]));
        std::istringstream expected(row[3]);
        std::string hex;
        while (std::getline(expected, hex, ',')) EXPECT_EQ(nextU64(stream), Testing::hexBits(hex)) << row[1];
        EXPECT_EQ(Testing::bitsOf(uniform(stream)), Testing::hexBits(row[4])) << row[1];
        EXPECT_EQ(Testing::bitsOf(standardNormal(stream)), Testing::hexBits(row[5])) << row[1];
    }
}

// The values themselves are pinned by the reference table; opening order and
// interleaving with other streams change nothing.
TEST(RandomContext, StreamsDependOnlyOnSeedNameAndIndex) {
    RandomContext aFirst(7), bFirst(7);
    aFirst.stream("a", 0);
    aFirst.stream("b", 0);
    bFirst.stream("b", 0);
    nextU64(bFirst.stream("zzz", 3));
    bFirst.stream("a", 0);
    EXPECT_EQ(draws(aFirst, "a", 0, 5), draws(bFirst, "a", 0, 5));
    EXPECT_EQ(draws(aFirst, "b", 0, 5), draws(bFirst, "b", 0, 5));

    EXPECT_NE(draws(aFirst, "a", 1, 3), draws(aFirst, "a", 2, 3));
    RandomContext otherSeed(8), sameSeed(7);
    EXPECT_NE(draws(otherSeed, "a", 0, 3), draws(sameSeed, "a", 0, 3));
    EXPECT_EQ(aFirst.streamCount(), 4u);
}

TEST(RandomContext, StandardNormalNeverTakesTheLogarithmOfZero) {
    RandomContext context(0);
    // First uniform exactly 0, second exactly 0.5: cos(pi) = -1.
    ASSERT_TRUE(context.restore(contextBytes(0, {{"n", 0, 0, 2, 0, {0, 1ULL << 63}}})));
    const double value = standardNormal(context.stream("n", 0));
    EXPECT_EQ(value, -std::sqrt(-2.0 * std::log(2.2250738585072014e-308)));
}

TEST(RandomContext, RecordThenReplayServesTheSameValuesThenThrows) {
    RandomContext context(3);
    const RandomStream stream = context.stream("spontaneous", 9);
    stream.setMode(StreamMode::Record);
    const std::vector<std::uint64_t> recorded = {nextU64(stream), nextU64(stream)};
    EXPECT_EQ(stream.state().recorded, recorded);
    const std::uint64_t stateAfterRecording = stream.state().state;

    stream.setMode(StreamMode::Replay);
    EXPECT_EQ(nextU64(stream), recorded[0]);
    EXPECT_EQ(nextU64(stream), recorded[1]);
    EXPECT_THROW_MSG(nextU64(stream), ReplayExhausted, "RandomContext replay exhausted: spontaneous");
    EXPECT_EQ(stream.state().cursor, 2u);
    EXPECT_EQ(stream.state().state, stateAfterRecording);  // replay never moves the counter

    // Mode, cursor and values survive a snapshot.
    RandomContext copy(0);
    ASSERT_TRUE(copy.restore(context.snapshot()));
    EXPECT_EQ(copy.snapshot(), context.snapshot());
    EXPECT_THROW(nextU64(copy.stream("spontaneous", 9)), ReplayExhausted);
}

TEST(RandomContext, SnapshotSortsStreamsByNameBytesThenIndex) {
    RandomContext context(0x0102030405060708ULL);
    for (auto [name, index] : {std::pair{"b", 0}, {"a", 5}, {"a", 1}, {"ab", 0}})
        nextU64(context.stream(name, index));
    std::vector<StreamRecord> expected;
    for (auto [name, index] : {std::pair{"a", 1}, {"a", 5}, {"ab", 0}, {"b", 0}}) {
        const std::uint64_t derived = deriveStreamSeed(context.masterSeed(), name, index);
        expected.push_back({name, static_cast<std::uint64_t>(index), derived + kSplitMixGamma, 0, 0, {}});
    }
    EXPECT_EQ(context.snapshot(), contextBytes(context.masterSeed(), expected));
    EXPECT_EQ(RandomContext(5).snapshot().size(), 20u);  // magic, seed, count 0

    // One family of streams, created out of index order and reached by the
    // remembered handles, is written as sorting would; a copy (which keeps
    // no handles) sorts.
    RandomContext family(9);
    for (int index : {7, 0, 3, 12}) nextU64(family.stream("spontaneous", static_cast<std::uint64_t>(index)));
    std::vector<StreamRecord> inOrder;
    for (int index : {0, 3, 7, 12}) {
        const std::uint64_t derived = deriveStreamSeed(9, "spontaneous", static_cast<std::uint64_t>(index));
        inOrder.push_back(
            {"spontaneous", static_cast<std::uint64_t>(index), derived + kSplitMixGamma, 0, 0, {}});
    }
    EXPECT_EQ(family.snapshot(), contextBytes(9, inOrder));
    EXPECT_EQ(RandomContext(family).snapshot(), contextBytes(9, inOrder));
}

TEST(RandomContext, RestoredContextDrawsWhatTheOriginalWould) {
    RandomContext original(99);
    nextU64(original.stream("x", 1));
    nextU64(original.stream("y", 2));
    const std::vector<std::uint8_t> bytes = original.snapshot();

    RandomContext restored(1);
    nextU64(restored.stream("other", 0));
    ASSERT_TRUE(restored.restore(bytes));
    EXPECT_EQ(restored.masterSeed(), 99u);
    EXPECT_EQ(restored.snapshot(), bytes);
    EXPECT_EQ(draws(restored, "x", 1, 3), draws(original, "x", 1, 3));
    EXPECT_EQ(draws(restored, "new", 4, 3),
              draws(original, "new", 4, 3));  // streams opened after the restore too
    EXPECT_EQ(restored.snapshot(), original.snapshot());
}

TEST(RandomContext, RestoreRefusesMalformedBytesAndChangesNothing) {
    RandomContext context(11);
    nextU64(context.stream("keep", 0));
    nextU64(context.stream("keep", 1));
    const std::vector<std::uint8_t> before = context.snapshot();
    const StreamRecord good{"s", 0, 5, 0, 0, {}};
    const StreamRecord kept{"keep", 0, 5, 0, 0, {}};

    std::vector<std::vector<std::uint8_t>> refused = {
        contextBytes(1, {{"s", 0, 5, 3, 0, {}}}),                       // mode 3
        contextBytes(1, {{"s", 0, 5, 2, 2, {7}}}),                      // cursor beyond the recorded values
        contextBytes(1, {good, good}),                                  // the same stream twice
        contextBytes(1, {{"", 0, 5, 0, 0, {}}, {"", 0, 6, 0, 0, {}}}),  // the same (empty name, index) twice
        contextBytes(1, {kept, kept}),  // one of the context's own streams twice, as many as it has
    };
    std::vector<std::uint8_t> wrongMagic = contextBytes(1, {good});
    wrongMagic[7] = '1';
    refused.push_back(wrongMagic);
    std::vector<std::uint8_t> trailing = contextBytes(1, {good});
    trailing.push_back(0);
    refused.push_back(trailing);
    std::vector<std::uint8_t> longName = contextBytes(1, {good});
    longName[20] = 200;  // name length beyond the input
    refused.push_back(longName);
    std::vector<std::uint8_t> manyValues = contextBytes(1, {{"s", 0, 5, 1, 0, {1}}});
    manyValues[manyValues.size() - 16] = 2;  // recorded count 2 with one value present
    refused.push_back(manyValues);
    // Every proper prefix of a valid snapshot, including the empty one.
    const std::vector<std::uint8_t> valid = contextBytes(1, {good, {"t", 2, 3, 2, 1, {4, 5}}});
    for (std::size_t cut = 0; cut < valid.size(); ++cut)
        refused.emplace_back(valid.begin(), valid.begin() + cut);

    for (std::size_t i = 0; i < refused.size(); ++i) {
        EXPECT_FALSE(context.restore(refused[i])) << "variant " << i;
        EXPECT_EQ(context.snapshot(), before) << "variant " << i;
    }
    EXPECT_TRUE(context.restore(valid));
    EXPECT_TRUE(context.restore(contextBytes(1, {})));  // no streams at all is valid
}

// Streams are remembered by index for the last name used; alternating names,
// restoring, copying and moving must still reach the right stream each time.
TEST(RandomContext, RememberedStreamsNeverServeTheWrongStream) {
    auto expectedDraws = [](std::string_view name, std::uint64_t index, int count) {
        RandomContext fresh(77);
        return draws(fresh, name, index, count);
    };
    RandomContext context(77);
    std::vector<std::uint64_t> a, b, c;
    for (int i = 0; i < 4; ++i) {
        a.push_back(nextU64(context.stream("spontaneous", 3)));
        b.push_back(nextU64(context.stream("spontaneous", 5000)));  // beyond the remembered range
        c.push_back(nextU64(context.stream("spontaneou", 3)));      // a prefix of the remembered name
    }
    EXPECT_EQ(a, expectedDraws("spontaneous", 3, 4));
    EXPECT_EQ(b, expectedDraws("spontaneous", 5000, 4));
    EXPECT_EQ(c, expectedDraws("spontaneou", 3, 4));

    // A copy draws on its own table; the original is untouched by it.
    RandomContext copy(0);
    copy = context;
    const std::uint64_t fromCopy = nextU64(copy.stream("spontaneous", 3));
    EXPECT_EQ(nextU64(context.stream("spontaneous", 3)), fromCopy);

    // Moves carry the streams along.
    RandomContext moved(std::move(copy));
    EXPECT_EQ(nextU64(moved.stream("spontaneous", 3)), expectedDraws("spontaneous", 3, 6).back());

    // After a restore the handles of the replaced table are not used.
    const auto bytes = context.snapshot();
    nextU64(context.stream("spontaneous", 3));
    ASSERT_TRUE(context.restore(bytes));
    EXPECT_EQ(nextU64(context.stream("spontaneous", 3)), expectedDraws("spontaneous", 3, 6).back());
    EXPECT_EQ(context.snapshot().size(), bytes.size());
}
