#include "common/convert.hpp"
#include "common/format.hpp"
#include "common/hash.hpp"
#include "support/expect_throws.hpp"
#include "support/golden.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <vector>

using namespace Core;

TEST(StableHash, StartValueAndKnownTexts) {
    EXPECT_EQ(stableHash64(""), 0x14650fb0739d0383ULL);
    EXPECT_EQ(stableHash64("g=1;"), 0xe535cdc8ac55d977ULL);
    // Bytes above 0x7f are hashed as unsigned values.
    EXPECT_NE(stableHash64("\xff"), stableHash64("\x7f"));
}

TEST(StableHash, MatchesReferenceTable) {
    auto rows = Testing::readTsv(Testing::dataPath("golden/hash.tsv"));
    ASSERT_FALSE(rows.empty());
    for (const auto& row : rows) {
        std::string text;
        for (std::size_t i = 0; i + 1 < row[0].size(); i += 2)
            text.push_back(static_cast<char>(std::stoi(row[0].substr(i, 2), nullptr, 16)));
        EXPECT_EQ(stableHash64(text), Testing::hexBits(row[1])) << "text hex " << row[0];
    }
}

TEST(Format, RoundTripAndShortForms) {
    EXPECT_EQ(formatFull(0.1), "0.10000000000000001");
    EXPECT_EQ(formatFull(1.0), "1");
    EXPECT_EQ(formatFull(1e-5), "1.0000000000000001e-05");
    EXPECT_EQ(formatFull(0.05), "0.050000000000000003");
    EXPECT_EQ(formatShort(1.0000001), "1");
    EXPECT_EQ(formatShort(0.25), "0.25");
    EXPECT_EQ(formatShort(1234567.0), "1.23457e+06");
    EXPECT_EQ(formatShort(0.0001), "0.0001");
    EXPECT_EQ(formatShort(0.00001), "1e-05");
    EXPECT_EQ(formatShort(-0.0), "-0");
}

TEST(Format, WritesWhatTheCConversionWrites) {
    // Stored numbers must not change with the way they are converted: every
    // class of double (random bit patterns give subnormals, infinities and
    // NaNs of both signs) against snprintf at both precisions.
    std::mt19937_64 bits(20261206);
    std::vector<double> values = {0.0,
                                  -0.0,
                                  1e-320,
                                  -5e-324,
                                  1.7976931348623157e308,
                                  0.1,
                                  1e16,
                                  1e17,
                                  123456.5,
                                  std::numeric_limits<double>::infinity(),
                                  -std::numeric_limits<double>::quiet_NaN()};
    for (int i = 0; i < 200000; ++i) {
        const std::uint64_t pattern = bits();
        double value = 0;
        std::memcpy(&value, &pattern, sizeof value);
        values.push_back(value);
        values.push_back(static_cast<double>(pattern % 1000000) / static_cast<double>(1 + pattern % 997));
    }
    char expected[64];
    for (double value : values) {
        std::snprintf(expected, sizeof expected, "%.17g", value);
        ASSERT_EQ(formatFull(value), expected);
        std::snprintf(expected, sizeof expected, "%.6g", value);
        ASSERT_EQ(formatShort(value), expected);
    }
}

TEST(Format, MatchesReferenceTable) {
    auto rows = Testing::readTsv(Testing::dataPath("golden/format.tsv"));
    ASSERT_EQ(rows.size(), 100u);
    for (const auto& row : rows) {
        double value = Testing::doubleFromHex(row[0]);
        EXPECT_EQ(formatFull(value), row[1]) << row[0];
        EXPECT_EQ(formatShort(value), row[2]) << row[0];
    }
}

TEST(Convert, StandardSemantics) {
    EXPECT_EQ(toUnsigned64("  42abc"), 42u);
    EXPECT_EQ(toUnsigned64("18446744073709551615"), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(toSigned64("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(toDouble("0.25}"), 0.25);
    EXPECT_EQ(toDouble("1e308"), 1e308);
}

TEST(Convert, FixedFailureTexts) {
    EXPECT_THROW_MSG(toUnsigned64(""), std::invalid_argument, "invalid stoull argument");
    EXPECT_THROW_MSG(toUnsigned64("x1"), std::invalid_argument, "invalid stoull argument");
    EXPECT_THROW_MSG(toUnsigned64("18446744073709551616"), std::out_of_range, "stoull argument out of range");
    EXPECT_THROW_MSG(toSigned64("abc"), std::invalid_argument, "invalid stoll argument");
    EXPECT_THROW_MSG(toSigned64("9223372036854775808"), std::out_of_range, "stoll argument out of range");
    EXPECT_THROW_MSG(toDouble("."), std::invalid_argument, "invalid stod argument");
    EXPECT_THROW_MSG(toDouble("1e999"), std::out_of_range, "stod argument out of range");
}

TEST(Convert, LookupOfMissingKey) {
    std::map<std::string, int> m{{"a", 1}};
    EXPECT_EQ(lookup(m, std::string("a")), 1);
    EXPECT_THROW_MSG(lookup(m, std::string("b")), std::out_of_range, "invalid map<K, T> key");
}
