#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace Core::Kvrn {

// Every refusal of the sweep layer: a bad declaration, a bad sample, a bad
// curve. Carries only its message text.
class InvalidSweep : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

// One swept model parameter and the values to visit, in declared order.
struct SweepAxis {
    std::string name;
    std::vector<double> values;
};

// The sweep part of an experiment: the axes (first = outermost) and how many
// seeds every point is run on.
struct SweepDeclaration {
    std::vector<SweepAxis> axes;
    std::uint64_t seeds = 1;
};

// One coordinate of a point.
struct SweepParameter {
    std::string name;
    double value = 0.0;
};

// One point of an expanded sweep: one parameter per axis, in axis order.
// A point without parameters is legal (label "single").
struct SweepPoint {
    std::vector<SweepParameter> parameters;

    // Value of the first parameter called `name`; InvalidSweep when absent.
    double value(const std::string& name) const;

    // Human-readable name, values at 6 significant digits; may collide for
    // values that differ only further down.
    std::string label() const;

    // Identity of the point: stableHash64 over every "name=value;" with the
    // value at full round-trip precision.
    std::uint64_t hash() const;
};

// Throws InvalidSweep with the first problem found; never reorders anything.
void validateSweep(const SweepDeclaration& sweep);

// Number of points (seeds not counted), after validation. The product is not
// checked for 64-bit overflow.
std::uint64_t pointCount(const SweepDeclaration& sweep);

// The cartesian product of the axes, after validation: the first axis varies
// slowest, the last fastest, values in declared order.
std::vector<SweepPoint> expand(const SweepDeclaration& sweep);

}  // namespace Core::Kvrn
