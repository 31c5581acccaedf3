#pragma once

#include <cstdint>
#include <span>

namespace Core::Kvrn {

// Summary of one sample (the seeds of one sweep cell) with a two-sided
// Student-t confidence interval. With a single value the spread is unknown:
// variance and standard error are NaN and the interval is (-inf, +inf).
struct SampleSummary {
    std::uint64_t count = 0;
    double mean = 0.0;
    double variance = 0.0;  // unbiased, divisor count - 1
    double standardError = 0.0;
    double lower = 0.0;
    double upper = 0.0;
    double level = 0.0;  // e.g. 0.95
};

// Throws InvalidSweep for an empty sample (checked first) or a level outside
// the open interval (0, 1).
SampleSummary summarize(std::span<const double> sample, double level);

// The t with P(T <= t) = p for nu degrees of freedom (nu need not be whole),
// by 200 bisection steps on [-10000, 10000]; results beyond the bracket are
// clamped to its edge. Throws InvalidSweep for p outside (0, 1) (checked
// first) or nu not positive.
double studentTQuantile(double p, double nu);

// P(T <= t) for nu degrees of freedom. No argument checks.
double studentTCdf(double t, double nu);

// Regularized incomplete beta function I_x(a, b). No argument checks.
double incompleteBeta(double a, double b, double x);

// The continued fraction behind incompleteBeta (modified Lentz, at most 300
// iterations; the last value is returned if it has not converged by then).
double betaContinuedFraction(double a, double b, double x);

}  // namespace Core::Kvrn
