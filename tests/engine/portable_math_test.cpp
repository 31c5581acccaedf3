#include "engine/portable_math.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "support/golden.hpp"

using namespace Core::Kvrn;

namespace {

// Distance in units in the last place between two finite doubles of any sign.
std::uint64_t ulpDistance(double a, double b) {
    auto ordered = [](double x) {
        const auto bits = std::bit_cast<std::int64_t>(x);
        return bits < 0 ? std::numeric_limits<std::int64_t>::min() - bits : bits;
    };
    const std::int64_t ia = ordered(a), ib = ordered(b);
    return ia > ib ? static_cast<std::uint64_t>(ia) - static_cast<std::uint64_t>(ib)
                   : static_cast<std::uint64_t>(ib) - static_cast<std::uint64_t>(ia);
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

TEST(PortableMath, MatchesReferenceTableBitForBit) {
    const auto rows = Testing::readTsv(Testing::dataPath("golden/portable-math.tsv"));
    ASSERT_GT(rows.size(), 100u);
    for (const auto& row : rows) {
        const double x = Testing::doubleFromHex(row[0]);
        EXPECT_EQ(Testing::bitsOf(portableSin(x)), Testing::hexBits(row[1])) << "sin " << row[0];
        EXPECT_EQ(Testing::bitsOf(portableExp(x)), Testing::hexBits(row[2])) << "exp " << row[0];
        EXPECT_EQ(Testing::bitsOf(portableLog(x)), Testing::hexBits(row[3])) << "log " << row[0];
    }
}

// The edges the reference table leaves out: non-finite arguments, -0, the
// overflow and underflow thresholds and the subnormal end of both functions.
TEST(PortableMath, SpecialValues) {
    for (double x : {kNaN, kInf, -kInf}) EXPECT_TRUE(std::isnan(portableSin(x))) << x;
    EXPECT_TRUE(std::isnan(portableExp(kNaN)));
    EXPECT_EQ(portableExp(kInf), kInf);
    EXPECT_EQ(portableExp(-kInf), 0.0);
    EXPECT_EQ(portableExp(709.79), kInf);
    EXPECT_EQ(portableExp(-745.14), 0.0);
    EXPECT_EQ(portableExp(1e-300), 1.0);
    EXPECT_EQ(portableExp(-0.0), 1.0);
    EXPECT_EQ(portableExp(-745.1332191019411), std::exp(-745.1332191019411));  // the smallest subnormal

    for (double x : {-kInf, kNaN}) EXPECT_TRUE(std::isnan(portableLog(x))) << x;
    EXPECT_EQ(portableLog(-0.0), -kInf);
    EXPECT_EQ(portableLog(kInf), kInf);
    EXPECT_EQ(portableLog(std::numeric_limits<double>::denorm_min()),
              std::log(std::numeric_limits<double>::denorm_min()));
}

// The C library's exp and log are correctly rounded or nearly so; a
// transcription error in a constant or an operation shows as a gap of many ulps.
TEST(PortableMath, ExpAndLogStayWithinOneUlpOfTheCLibrary) {
    std::mt19937_64 random(20240601);
    std::uniform_real_distribution<double> wide(-745.0, 709.7);
    std::uniform_real_distribution<double> narrow(-3.0, 3.0);
    for (int i = 0; i < 40000; ++i) {
        const double x = i % 2 ? wide(random) : narrow(random);
        ASSERT_LE(ulpDistance(portableExp(x), std::exp(x)), 1u) << std::hexfloat << x;
    }
    for (int i = 0; i < 40000; ++i) {
        // Random bit patterns cover every binade, subnormals included.
        const double x = std::bit_cast<double>(random() >> 1);
        if (!std::isfinite(x) || x == 0) continue;
        ASSERT_LE(ulpDistance(portableLog(x), std::log(x)), 1u) << std::hexfloat << x;
        const double nearOne = 1.0 + narrow(random) * 1e-3;  // the small-|f| branches
        ASSERT_LE(ulpDistance(portableLog(nearOne), std::log(nearOne)), 1u) << std::hexfloat << nearOne;
    }
}

// The simple range reduction by one double 2pi costs a few 1e-16 near |x| = 7;
// a wrong coefficient costs far more.
TEST(PortableMath, SineStaysWithin5e16OfTheCLibraryUpToSeven) {
    std::mt19937_64 random(77);
    std::uniform_real_distribution<double> argument(-7.0, 7.0);
    for (int i = 0; i < 50000; ++i) {
        const double x = argument(random);
        ASSERT_LE(std::fabs(portableSin(x) - std::sin(x)), 5e-16) << std::hexfloat << x;
    }
}
