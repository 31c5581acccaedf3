#include "sweep/statistics.hpp"

#include "sweep/declaration.hpp"

#include <cmath>
#include <limits>

namespace Core::Kvrn {
namespace {

// Lentz's guard against division by zero, and the convergence tolerance.
constexpr double kTiny = 1e-300;
constexpr double kTolerance = 3e-16;
constexpr int kMaxIterations = 300;

constexpr double kBracket = 10000.0;
constexpr int kBisectionSteps = 200;

// Replaces a near-zero denominator by the positive tiny value, whatever its sign.
double guarded(double value) { return std::fabs(value) < kTiny ? kTiny : value; }

}  // namespace

SampleSummary summarize(std::span<const double> sample, double level) {
    if (sample.empty()) throw InvalidSweep("cannot summarize an empty sample");
    if (!(level > 0.0 && level < 1.0)) throw InvalidSweep("the confidence level must lie in (0, 1)");

    SampleSummary summary;
    summary.count = sample.size();
    summary.level = level;
    const double n = static_cast<double>(sample.size());

    double sum = 0.0;
    for (double value : sample) sum += value;
    summary.mean = sum / n;

    if (sample.size() == 1) {
        summary.variance = std::numeric_limits<double>::quiet_NaN();
        summary.standardError = std::numeric_limits<double>::quiet_NaN();
        summary.lower = -std::numeric_limits<double>::infinity();
        summary.upper = std::numeric_limits<double>::infinity();
        return summary;
    }

    // Second pass around the mean: no cancellation from a sum of squares.
    double squares = 0.0;
    for (double value : sample) {
        const double deviation = value - summary.mean;
        squares += deviation * deviation;
    }
    summary.variance = squares / (n - 1.0);
    summary.standardError = std::sqrt(summary.variance / n);

    const double t = studentTQuantile((level + 1.0) / 2.0, n - 1.0);
    summary.lower = summary.mean - t * summary.standardError;
    summary.upper = summary.mean + t * summary.standardError;
    return summary;
}

namespace {

// The bisection itself, for arguments already checked.
double bisectQuantile(double p, double nu) {
    double lo = -kBracket;
    double hi = kBracket;
    for (int i = 0; i < kBisectionSteps; ++i) {
        const double mid = (hi + lo) * 0.5;
        if (p > studentTCdf(mid, nu)) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return (hi + lo) * 0.5;
}

}  // namespace

double studentTQuantile(double p, double nu) {
    if (!(p > 0.0 && p < 1.0)) throw InvalidSweep("a quantile probability must lie in (0, 1)");
    if (!(nu > 0.0)) throw InvalidSweep("Student's t needs positive degrees of freedom");
    // Every cell of a sweep asks for the same few quantiles (one level, one
    // seed count), each a hundred-step bisection: the last ones asked on
    // this thread are kept. The function is pure, so the answer is the same.
    struct Known {
        double p = 0;
        double nu = 0;
        double quantile = 0;
    };
    thread_local Known known[4];
    thread_local unsigned next = 0;
    for (const Known& k : known)
        if (k.nu != 0 && k.p == p && k.nu == nu) return k.quantile;
    const double quantile = bisectQuantile(p, nu);
    known[next++ % 4] = {p, nu, quantile};
    return quantile;
}

double studentTCdf(double t, double nu) {
    const double x = nu / (t * t + nu);
    const double tail = incompleteBeta(nu / 2.0, 0.5, x);
    return t > 0.0 ? 1.0 - tail / 2.0 : tail / 2.0;
}

double incompleteBeta(double a, double b, double x) {
    if (x <= 0.0) return 0.0;
    if (x >= 1.0) return 1.0;
    const double front =
        std::exp(std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) + a * std::log(x) + b * std::log1p(-x));
    // The fraction converges quickly only below the mean of the distribution;
    // above it, use the symmetry I_x(a, b) = 1 - I_{1-x}(b, a).
    if (x < (a + 1.0) / (a + b + 2.0)) return front * betaContinuedFraction(a, b, x) / a;
    return 1.0 - front * betaContinuedFraction(b, a, 1.0 - x) / b;
}

double betaContinuedFraction(double a, double b, double x) {
    const double qab = a + b;
    const double qap = a + 1.0;
    const double qam = a - 1.0;
    double c = 1.0;
    double d = 1.0 / guarded(1.0 - qab * x / qap);
    double h = d;
    for (int m = 1; m <= kMaxIterations; ++m) {
        const double md = static_cast<double>(m);
        const double m2 = 2.0 * md;

        // Even step of the fraction.
        double aa = md * (b - md) * x / ((qam + m2) * (a + m2));
        d = 1.0 / guarded(1.0 + aa * d);
        c = guarded(1.0 + aa / c);
        h = h * d * c;

        // Odd step.
        aa = -(a + md) * (qab + md) * x / ((a + m2) * (qap + m2));
        d = 1.0 / guarded(1.0 + aa * d);
        c = guarded(1.0 + aa / c);
        const double del = d * c;
        h = h * del;

        if (std::fabs(del - 1.0) < kTolerance) break;
    }
    return h;
}

}  // namespace Core::Kvrn
