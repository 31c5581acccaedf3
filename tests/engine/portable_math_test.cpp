#include "engine/portable_math.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <span>
#include <vector>

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

using Batch = void (*)(std::span<const double>, std::span<double>);

// Both builds of a batch function (the one this machine takes and the
// baseline one) give `scalar`'s bits for every x: over all of x, over its
// last few values (a partial group of lanes), and written over their input.
void expectScalarBits(Batch taken, Batch baseline, double (*scalar)(double), const std::vector<double>& x) {
    for (Batch each : {taken, baseline}) {
        for (std::size_t length :
             {x.size(), std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{6}}) {
            const std::span<const double> in(x.data() + x.size() - length, length);
            std::vector<double> out(length, 123.0);
            each(in, out);
            for (std::size_t i = 0; i < length; ++i)
                ASSERT_EQ(std::bit_cast<std::uint64_t>(out[i]), std::bit_cast<std::uint64_t>(scalar(in[i])))
                    << std::hexfloat << in[i];
        }
    }
    std::vector<double> inPlace(x.begin(), x.end());
    taken(inPlace, inPlace);
    for (std::size_t i = 0; i < x.size(); ++i)
        ASSERT_EQ(std::bit_cast<std::uint64_t>(inPlace[i]), std::bit_cast<std::uint64_t>(scalar(x[i])));
}

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

// The batch form must give the scalar function's bits in every lane, whatever
// the neighbouring lanes hold: each binade and sign from random bit patterns,
// the ranges the engine meets most, the branch thresholds one ulp either
// side, the values the batch hands back to the scalar code, array lengths
// that leave a partial group of lanes, and a batch written over its input.
TEST(PortableMath, ExpEachGivesTheScalarBitsInEveryLane) {
    std::mt19937_64 random(4242);
    std::uniform_real_distribution<double> engineRange(-40.0, 5.0);
    std::vector<double> x;
    for (int i = 0; i < 200000; ++i) {
        switch (i % 4) {
            case 0:
                x.push_back(std::bit_cast<double>(random()));
                break;
            case 1:
                x.push_back(engineRange(random));
                break;
            case 2:
                x.push_back(-std::ldexp(1.0, -static_cast<int>(random() % 40)) *
                            (1.0 + 1e-3 * engineRange(random)));
                break;
            default:
                x.push_back(std::uniform_real_distribution<double>(-746.0, 710.0)(random));
                break;
        }
    }
    const double ln2 = 0.6931471805599453;
    for (double edge :
         {ln2 / 2, 1.5 * ln2, std::ldexp(1.0, -28), 709.782712893384, 745.1332191019411, 708.0, 707.7, 0.0}) {
        for (double sign : {1.0, -1.0}) {
            double v = sign * edge;
            for (int step = 0; step < 3; ++step) v = std::nextafter(v, -kInf);
            for (int step = 0; step < 7; ++step, v = std::nextafter(v, kInf)) x.push_back(v);
        }
    }
    for (double special : {kNaN, kInf, -kInf, -0.0, std::numeric_limits<double>::denorm_min()})
        x.push_back(special);

    expectScalarBits(&portableExpEach, &detail::math::portableExpEachBaseline, &portableExp, x);
}

// The same for the logarithm: random bit patterns (negative numbers, zeros,
// subnormals, infinities and NaNs among them), the uniforms the engine takes
// logarithms of, numbers near powers of two (both of the scalar code's short
// and long formulas) and near its other thresholds.
TEST(PortableMath, LogEachGivesTheScalarBitsInEveryLane) {
    std::mt19937_64 random(2424);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> x;
    for (int i = 0; i < 200000; ++i) {
        switch (i % 4) {
            case 0:
                x.push_back(std::bit_cast<double>(random()));
                break;
            case 1:
                x.push_back(unit(random));
                break;
            case 2:
                x.push_back(
                    std::ldexp(1.0 + (unit(random) - 0.5) * 1e-5, static_cast<int>(random() % 200) - 100));
                break;
            default:
                x.push_back(std::bit_cast<double>(std::bit_cast<std::uint64_t>(unit(random) + 1.0) ^
                                                  (random() & 0xfffff)));
                break;
        }
    }
    for (std::uint64_t high :
         {0x3ff6147aULL, 0x3fe6b851ULL, 0x3ff6b851ULL, 0x3fe6147aULL, 0x3ff95f64ULL, 0x3fe6a09eULL})
        for (std::uint64_t low : {0ULL, 1ULL, 0xffffffffULL})
            x.push_back(std::bit_cast<double>((high << 32) | low));
    for (double special : {kNaN, kInf, -kInf, 0.0, -0.0, -1.0, 1.0, std::numeric_limits<double>::denorm_min(),
                           std::numeric_limits<double>::min(), std::numeric_limits<double>::max()})
        x.push_back(special);

    expectScalarBits(&portableLogEach, &detail::math::portableLogEachBaseline, &portableLog, x);
}
