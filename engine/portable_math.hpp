#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>

// The engine's own sine, exponential and logarithm. Everything that feeds
// spike timing uses these instead of the platform's mathematical library, so
// that spike times are bit-identical on every platform and compiler. They are
// the classic fdlibm algorithms (the sine with a simplified range reduction
// that is accurate for the moderate arguments the engine uses).
namespace Core::Kvrn {

// The functions are inline: the hazard and modulation code calls them
// several times per spike candidate.
namespace detail::math {

constexpr double kSinPi = 3.141592653589793;
constexpr double kSinHalfPi = 1.5707963267948966;
constexpr double kSinQuarterPi = 0.7853981633974483;
constexpr double kSinTwoPi = 6.283185307179586;

// Sine kernel on [-pi/4, pi/4]: x + x^3 P(x^2).
constexpr double S1 = -1.66666666666666324348e-01;
constexpr double S2 = 8.33333333332248946124e-03;
constexpr double S3 = -1.98412698298579493134e-04;
constexpr double S4 = 2.75573137070700676789e-06;
constexpr double S5 = -2.50507602534068634195e-08;
constexpr double S6 = 1.58969099521155010221e-10;
// Cosine kernel on [-pi/4, pi/4]: 1 - x^2/2 + x^4 Q(x^2).
constexpr double C1 = 4.16666666666666019037e-02;
constexpr double C2 = -1.38888888888741095749e-03;
constexpr double C3 = 2.48015872894767294178e-05;
constexpr double C4 = -2.75573143513906633035e-07;
constexpr double C5 = 2.08757232129817482790e-09;
constexpr double C6 = -1.13596475577881948265e-11;

// ln 2 split so that k x kLn2Hi is exact for every |k| < 2^11.
constexpr double kLn2Hi = 6.93147180369123816490e-01;
constexpr double kLn2Lo = 1.90821492927058770002e-10;
constexpr double kInvLn2 = 1.44269504088896338700e+00;

constexpr double kExpOverflow = 7.09782712893383973096e+02;
constexpr double kExpUnderflow = -7.45133219101941108420e+02;
constexpr double P1 = 1.66666666666666019037e-01;
constexpr double P2 = -2.77777777770155933842e-03;
constexpr double P3 = 6.61375632143793436117e-05;
constexpr double P4 = -1.65339022054652515390e-06;
constexpr double P5 = 4.13813679705723846039e-08;
constexpr double kTwoToMinus1000 = 9.33263618503218878990e-302;

constexpr double kTwo54 = 1.80143985094819840000e+16;
constexpr double Lg1 = 6.666666666666735130e-01;
constexpr double Lg2 = 3.999999999940941908e-01;
constexpr double Lg3 = 2.857142874366239149e-01;
constexpr double Lg4 = 2.222219843214978396e-01;
constexpr double Lg5 = 1.818357216161805012e-01;
constexpr double Lg6 = 1.531383769920937332e-01;
constexpr double Lg7 = 1.479819860511658591e-01;

// Upper and lower 32 bits of a double, as fdlibm reads them.
constexpr std::uint32_t highWord(double x) {
    return static_cast<std::uint32_t>(std::bit_cast<std::uint64_t>(x) >> 32);
}
constexpr std::uint32_t lowWord(double x) {
    return static_cast<std::uint32_t>(std::bit_cast<std::uint64_t>(x));
}
constexpr double withHighWord(double x, std::uint32_t high) {
    return std::bit_cast<double>((std::uint64_t{high} << 32) | lowWord(x));
}

// y x 2^k for y in about [0.7, 1.5], rounding once: exponent arithmetic where
// the result is normal, otherwise scale into range and let one multiplication
// round into the subnormals.
constexpr double scaleByPowerOfTwo(double y, int k) {
    if (k >= -1021) return withHighWord(y, highWord(y) + (static_cast<std::uint32_t>(k) << 20));
    return withHighWord(y, highWord(y) + (static_cast<std::uint32_t>(k + 1000) << 20)) * kTwoToMinus1000;
}

}  // namespace detail::math

// sin(x); NaN for NaN or infinite x.
inline double portableSin(double x) {
    using namespace detail::math;
    if (std::isnan(x)) return x;
    // Reduce to r in [-pi, pi] by the nearest whole number of turns. trunc()
    // instead of an integer conversion keeps huge arguments defined.
    const double q = std::trunc(x >= 0 ? x / kSinTwoPi + 0.5 : x / kSinTwoPi - 0.5);
    double r = x - q * kSinTwoPi;
    // Fold into [-pi/2, pi/2] using sin(pi - r) = sin(r).
    if (r > kSinHalfPi) r = kSinPi - r;
    if (r < -kSinHalfPi) r = -kSinPi - r;
    if (std::fabs(r) > kSinQuarterPi) {
        // sin(r) = cos(pi/2 - |r|) with the sign of r.
        const double y = kSinHalfPi - std::fabs(r);
        const double z = y * y;
        const double poly = ((((C6 * z + C5) * z + C4) * z + C3) * z + C2) * z + C1;
        const double c = 1.0 - (z * 0.5 - poly * z * z);
        return r < 0 ? -c : c;
    }
    const double z = r * r;
    const double poly = ((((S6 * z + S5) * z + S4) * z + S3) * z + S2) * z + S1;
    return poly * (z * r) + r;
}

// e^x: +inf above 709.782712893384, 0 below -745.1332191019411, NaN for NaN.
inline double portableExp(double x) {
    using namespace detail::math;
    if (std::isnan(x)) return x;
    if (x > kExpOverflow) return std::numeric_limits<double>::infinity();
    if (x < kExpUnderflow) return 0.0;

    const std::uint32_t hx = highWord(x) & 0x7fffffff;
    const bool negative = std::signbit(x);
    double hi = 0;
    double lo = 0;
    int k = 0;
    // Argument reduction x = k ln2 + r with |r| <= ln2 / 2, r carried as hi - lo.
    if (hx > 0x3fd62e42) {      // |x| > ln2 / 2
        if (hx < 0x3ff0a2b2) {  // and |x| < 1.5 ln2
            hi = negative ? x + kLn2Hi : x - kLn2Hi;
            lo = negative ? -kLn2Lo : kLn2Lo;
            k = negative ? -1 : 1;
        } else {
            k = static_cast<int>(kInvLn2 * x + (negative ? -0.5 : 0.5));
            const double t = k;
            hi = x - t * kLn2Hi;
            lo = t * kLn2Lo;
        }
        x = hi - lo;
    } else if (hx < 0x3e300000) {  // |x| < 2^-28
        return 1.0 + x;
    }

    // Rational approximation of e^r on the primary range.
    const double t = x * x;
    const double c = x - t * (P1 + t * (P2 + t * (P3 + t * (P4 + t * P5))));
    if (k == 0) return 1.0 - ((x * c) / (c - 2.0) - x);
    const double y = 1.0 - ((lo - (x * c) / (2.0 - c)) - hi);
    return scaleByPowerOfTwo(y, k);
}

// Natural logarithm: -inf at +-0, NaN below 0 or for NaN, +inf at +inf.
inline double portableLog(double x) {
    using namespace detail::math;
    std::int32_t hx = static_cast<std::int32_t>(highWord(x));
    const std::uint32_t lx = lowWord(x);
    int k = 0;
    if (hx < 0x00100000) {  // x < 2^-1022: zero, negative or subnormal
        if (((hx & 0x7fffffff) | lx) == 0) return -std::numeric_limits<double>::infinity();
        if (hx < 0) return std::numeric_limits<double>::quiet_NaN();
        k -= 54;
        x *= kTwo54;
        hx = static_cast<std::int32_t>(highWord(x));
    }
    if (hx >= 0x7ff00000) return x + x;  // +inf or NaN
    k += (hx >> 20) - 1023;
    hx &= 0x000fffff;
    // Normalise the mantissa into [sqrt(2)/2, sqrt(2)) and adjust k to match.
    const std::int32_t i = (hx + 0x95f64) & 0x100000;
    x = withHighWord(x, static_cast<std::uint32_t>(hx | (i ^ 0x3ff00000)));
    k += i >> 20;
    const double f = x - 1.0;
    const double dk = k;
    if ((0x000fffff & (2 + hx)) < 3) {  // |f| < 2^-20
        if (f == 0.0) return k == 0 ? 0.0 : dk * kLn2Hi + dk * kLn2Lo;
        const double r = f * f * (0.5 - 0.33333333333333333 * f);
        return k == 0 ? f - r : dk * kLn2Hi - ((r - dk * kLn2Lo) - f);
    }
    const double s = f / (2.0 + f);
    const double z = s * s;
    const double w = z * z;
    const double t1 = w * (Lg2 + w * (Lg4 + w * Lg6));
    const double t2 = z * (Lg1 + w * (Lg3 + w * (Lg5 + w * Lg7)));
    const double r = t2 + t1;
    if (((hx - 0x6147a) | (0x6b851 - hx)) > 0) {
        const double halfSquare = 0.5 * f * f;
        if (k == 0) return f - (halfSquare - s * (halfSquare + r));
        return dk * kLn2Hi - ((halfSquare - (s * (halfSquare + r) + dk * kLn2Lo)) - f);
    }
    if (k == 0) return f - s * (f - r);
    return dk * kLn2Hi - ((s * (f - r) - dk * kLn2Lo) - f);
}

// portableExp of every x[i] into y[i] (y at least as long as x; the two may
// be the same array), bit for bit, several at a time where the processor
// allows.
void portableExpEach(std::span<const double> x, std::span<double> y);
// The same for portableLog.
void portableLogEach(std::span<const double> x, std::span<double> y);

namespace detail::math {
// The two as built for the baseline instruction set, which machines with
// wider registers never take by themselves; for the tests.
void portableExpEachBaseline(std::span<const double> x, std::span<double> y);
void portableLogEachBaseline(std::span<const double> x, std::span<double> y);
}  // namespace detail::math

}  // namespace Core::Kvrn
