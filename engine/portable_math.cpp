#include "engine/portable_math.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace Core::Kvrn {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kHalfPi = 1.5707963267948966;
constexpr double kQuarterPi = 0.7853981633974483;
constexpr double kTwoPi = 6.283185307179586;

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

}  // namespace

double portableSin(double x) {
    if (std::isnan(x)) return x;
    // Reduce to r in [-pi, pi] by the nearest whole number of turns. trunc()
    // instead of an integer conversion keeps huge arguments defined.
    const double q = std::trunc(x >= 0 ? x / kTwoPi + 0.5 : x / kTwoPi - 0.5);
    double r = x - q * kTwoPi;
    // Fold into [-pi/2, pi/2] using sin(pi - r) = sin(r).
    if (r > kHalfPi) r = kPi - r;
    if (r < -kHalfPi) r = -kPi - r;
    if (std::fabs(r) > kQuarterPi) {
        // sin(r) = cos(pi/2 - |r|) with the sign of r.
        const double y = kHalfPi - std::fabs(r);
        const double z = y * y;
        const double poly = ((((C6 * z + C5) * z + C4) * z + C3) * z + C2) * z + C1;
        const double c = 1.0 - (z * 0.5 - poly * z * z);
        return r < 0 ? -c : c;
    }
    const double z = r * r;
    const double poly = ((((S6 * z + S5) * z + S4) * z + S3) * z + S2) * z + S1;
    return poly * (z * r) + r;
}

}  // namespace Core::Kvrn
