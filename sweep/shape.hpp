#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace Core::Kvrn {

// What a one-axis curve looks like. The numeric values are fixed.
enum class CurveShape {
    Flat = 0,
    MonotoneIncreasing = 1,
    MonotoneDecreasing = 2,
    InteriorMaximum = 3,
    InteriorMinimum = 4,
    NonMonotone = 5,
};

// Printed name of a shape ("flat" for values outside the enumeration).
std::string shapeName(CurveShape shape);

// The sharpest bend of a curve, optionally backed by a rise of the
// between-seed variance there.
struct RegimeTransition {
    bool candidate = false;      // curvature reached the threshold
    double location = 0.0;       // axis value of the bend
    double curvature = 0.0;      // dimensionless: slope change scaled by the spacing and the curve's range
    double varianceRatio = 0.0;  // variance at the bend over the series' median; 0 without a usable series
    std::uint64_t index = 0;     // position of the bend in the curve
};

// Classifies `curve` (one value per strictly increasing `axis` value, at
// least three). A curve whose range is within `tolerance` of its magnitude is
// flat; otherwise steps smaller than `tolerance` of the range are ignored.
// Throws InvalidSweep for bad input.
CurveShape classifyShape(std::span<const double> axis, std::span<const double> curve, double tolerance);

// Finds the interior point of largest curvature (at least four points; ties
// keep the earlier point). `variances` is either empty or one between-seed
// variance per point. Throws InvalidSweep for bad input.
RegimeTransition detectRegimeTransition(std::span<const double> axis, std::span<const double> curve,
                                        std::span<const double> variances, double threshold);

}  // namespace Core::Kvrn
