#include "sweep/shape.hpp"

#include "sweep/declaration.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace Core::Kvrn {
namespace {

const char* const kLengthMismatch = "the curve and its parameter axis differ in length";
const char* const kAxisNotIncreasing = "the parameter axis must be strictly increasing";

bool interior(std::size_t index, std::size_t n) { return index != 0 && index != n - 1; }

}  // namespace

std::string shapeName(CurveShape shape) {
    switch (shape) {
        case CurveShape::Flat:
            return "flat";
        case CurveShape::MonotoneIncreasing:
            return "monotone increasing";
        case CurveShape::MonotoneDecreasing:
            return "monotone decreasing";
        case CurveShape::InteriorMaximum:
            return "interior maximum";
        case CurveShape::InteriorMinimum:
            return "interior minimum";
        case CurveShape::NonMonotone:
            return "non-monotone";
    }
    return "flat";
}

CurveShape classifyShape(std::span<const double> axis, std::span<const double> curve, double tolerance) {
    const std::size_t n = curve.size();
    if (axis.size() != n) throw InvalidSweep(kLengthMismatch);
    if (n < 3) throw InvalidSweep("classifying a shape needs at least three points");
    if (!(tolerance >= 0.0)) throw InvalidSweep("the shape tolerance must be non-negative");
    for (std::size_t i = 1; i < n; ++i)
        if (!(axis[i] > axis[i - 1])) throw InvalidSweep(kAxisNotIncreasing);

    // First occurrence of the minimum, last occurrence of the maximum.
    std::size_t imin = 0;
    std::size_t imax = 0;
    for (std::size_t i = 1; i < n; ++i) {
        if (curve[i] < curve[imin]) imin = i;
        if (curve[i] >= curve[imax]) imax = i;
    }
    const double min = curve[imin];
    const double max = curve[imax];
    const double range = max - min;

    double scale = std::max(std::fabs(min), std::fabs(max));
    if (!(scale > 0.0)) scale = 1.0;
    if (scale * tolerance >= range) return CurveShape::Flat;

    const double step = range * tolerance;
    std::size_t ups = 0;
    std::size_t downs = 0;
    for (std::size_t i = 1; i < n; ++i) {
        const double difference = curve[i] - curve[i - 1];
        if (difference > step) ++ups;
        if (difference < -step) ++downs;
    }
    if (downs == 0) return CurveShape::MonotoneIncreasing;
    if (ups == 0) return CurveShape::MonotoneDecreasing;

    const bool maxInside = interior(imax, n);
    const bool minInside = interior(imin, n);
    if (maxInside && !minInside) return CurveShape::InteriorMaximum;
    if (!maxInside && minInside) return CurveShape::InteriorMinimum;
    return CurveShape::NonMonotone;
}

RegimeTransition detectRegimeTransition(std::span<const double> axis, std::span<const double> curve,
                                        std::span<const double> variances, double threshold) {
    const std::size_t n = curve.size();
    if (axis.size() != n) throw InvalidSweep(kLengthMismatch);
    if (!variances.empty() && variances.size() != n)
        throw InvalidSweep("the variance series does not match the curve");
    if (n < 4) throw InvalidSweep("detecting a regime transition needs at least four points");

    RegimeTransition result;
    const auto [lowest, highest] = std::minmax_element(curve.begin(), curve.end());
    const double range = *highest - *lowest;
    // A constant curve has no transition; its axis is not examined.
    if (!(range > 0.0)) return result;

    double best = 0.0;
    std::size_t bestIndex = 0;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const double h1 = axis[i] - axis[i - 1];
        const double h2 = axis[i + 1] - axis[i];
        if (!(h1 > 0.0) || !(h2 > 0.0)) throw InvalidSweep(kAxisNotIncreasing);
        const double slopeChange = std::fabs((curve[i + 1] - curve[i]) / h2 - (curve[i] - curve[i - 1]) / h1);
        const double c = slopeChange * ((h2 + h1) * 0.5) / range;
        if (c > best) {
            best = c;
            bestIndex = i;
        }
    }
    result.index = bestIndex;
    result.location = axis[bestIndex];
    result.curvature = best;

    if (!variances.empty()) {
        std::vector<double> sorted(variances.begin(), variances.end());
        std::sort(sorted.begin(), sorted.end());
        const double median = sorted[n / 2];
        if (median > 0.0) result.varianceRatio = variances[bestIndex] / median;
    }
    result.candidate = result.curvature >= threshold;
    return result;
}

}  // namespace Core::Kvrn
