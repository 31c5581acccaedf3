#include "common/byte_io.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using Core::ByteReader;
using Core::ByteWriter;

TEST(ByteIo, FieldsAreLittleEndianWithoutPadding) {
    ByteWriter out;
    out.raw("AB");
    out.u8(0x7f);
    out.u32(0x01020304);
    out.i64(-2);
    out.f64(1.0);
    const std::vector<std::uint8_t> expected = {'A',  'B',  0x7f, 0x04, 0x03, 0x02, 0x01,        //
                                                0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,  //
                                                0,    0,    0,    0,    0,    0,    0xf0, 0x3f};
    EXPECT_EQ(std::vector<std::uint8_t>(out.bytes().begin(), out.bytes().end()), expected);
}

TEST(ByteIo, ReaderReturnsWhatWasWrittenBitForBit) {
    ByteWriter out;
    const double nan = std::bit_cast<double>(0xfff8000000000123ULL);
    out.raw("MAGIC");
    out.u64(std::numeric_limits<std::uint64_t>::max());
    out.i64(std::numeric_limits<std::int64_t>::min());
    out.f64(nan);
    out.u32(7);
    const std::vector<std::uint8_t> bytes = std::move(out).take();

    ByteReader in(bytes);
    EXPECT_TRUE(in.match("MAGIC"));
    EXPECT_EQ(in.u64(), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(in.i64(), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(std::bit_cast<std::uint64_t>(in.f64()), 0xfff8000000000123ULL);
    EXPECT_EQ(in.remaining(), 4u);
    EXPECT_EQ(in.u32(), 7u);
    EXPECT_TRUE(in.finished());
}

TEST(ByteIo, FirstShortReadFailsTheReaderForGood) {
    const std::vector<std::uint8_t> bytes = {1, 2, 3, 4, 5};
    ByteReader in(bytes);
    EXPECT_EQ(in.u8(), 1);
    EXPECT_EQ(in.u64(), 0u);  // only four bytes left: fails without consuming them
    EXPECT_FALSE(in.ok());
    EXPECT_EQ(in.u8(), 0);  // a read that would fit still fails afterwards
    EXPECT_EQ(in.raw(1), "");
    EXPECT_FALSE(in.finished());

    ByteReader wrongMagic(bytes);
    EXPECT_FALSE(wrongMagic.match("\x01\x02\x04"));
    EXPECT_TRUE(wrongMagic.ok());  // a mismatch is not a short read
    ByteReader shortMagic(bytes);
    EXPECT_FALSE(shortMagic.match("123456"));
    EXPECT_FALSE(shortMagic.ok());
}
