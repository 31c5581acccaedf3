#include "sweep/declaration.hpp"

#include "common/format.hpp"
#include "common/hash.hpp"

#include <algorithm>
#include <cmath>

namespace Core::Kvrn {

void validateSweep(const SweepDeclaration& sweep) {
    if (sweep.seeds == 0) throw InvalidSweep("a sweep needs at least one seed");
    if (sweep.axes.empty()) throw InvalidSweep("a sweep needs at least one parameter axis");
    for (std::size_t i = 0; i < sweep.axes.size(); ++i) {
        const SweepAxis& axis = sweep.axes[i];
        if (axis.name.empty()) throw InvalidSweep("a sweep axis must be named");
        for (std::size_t j = 0; j < i; ++j)
            if (sweep.axes[j].name == axis.name) throw InvalidSweep("sweep repeats the axis " + axis.name);
        if (axis.values.size() < 2)
            throw InvalidSweep("sweep axis " + axis.name +
                               " needs at least two values; one value is not a sweep");
        for (double value : axis.values)
            if (!std::isfinite(value))
                throw InvalidSweep("sweep axis " + axis.name + " has a non-finite value");
        // Sorting a copy makes +0 and -0 neighbours that compare equal.
        std::vector<double> sorted = axis.values;
        std::sort(sorted.begin(), sorted.end());
        for (std::size_t k = 1; k < sorted.size(); ++k)
            if (sorted[k] == sorted[k - 1])
                throw InvalidSweep("sweep axis " + axis.name + " repeats a value");
    }
}

std::uint64_t pointCount(const SweepDeclaration& sweep) {
    validateSweep(sweep);
    std::uint64_t count = 1;
    for (const SweepAxis& axis : sweep.axes) count *= axis.values.size();
    return count;
}

std::vector<SweepPoint> expand(const SweepDeclaration& sweep) {
    validateSweep(sweep);
    std::vector<SweepPoint> points(1);
    for (const SweepAxis& axis : sweep.axes) {
        std::vector<SweepPoint> next;
        next.reserve(points.size() * axis.values.size());
        for (const SweepPoint& point : points) {
            for (double value : axis.values) {
                SweepPoint extended = point;
                extended.parameters.push_back({axis.name, value});
                next.push_back(std::move(extended));
            }
        }
        points = std::move(next);
    }
    return points;
}

double SweepPoint::value(const std::string& name) const {
    for (const SweepParameter& parameter : parameters)
        if (parameter.name == name) return parameter.value;
    throw InvalidSweep("sweep point has no parameter " + name);
}

std::string SweepPoint::label() const {
    if (parameters.empty()) return "single";
    std::string text;
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (i > 0) text += '_';
        text += parameters[i].name;
        text += '=';
        text += formatShort(parameters[i].value);
    }
    return text;
}

std::uint64_t SweepPoint::hash() const {
    std::string text;
    for (const SweepParameter& parameter : parameters) {
        text += parameter.name;
        text += '=';
        text += formatFull(parameter.value);
        text += ';';
    }
    return stableHash64(text);
}

}  // namespace Core::Kvrn
