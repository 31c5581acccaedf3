#include "common/format.hpp"

#include <charconv>
#include <system_error>

namespace Core {
namespace {

// The general conversion at `precision` significant digits. to_chars is
// defined to write what printf writes for "%.<precision>g" in the C locale
// (which this program never leaves), and does so several times faster than
// printf: these conversions fill every stored trajectory.
std::string formatGeneral(double value, int precision) {
    char buffer[64];
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, precision);
    return error == std::errc() ? std::string(buffer, end) : std::string();
}

}  // namespace

std::string formatFull(double value) { return formatGeneral(value, 17); }

std::string formatShort(double value) { return formatGeneral(value, 6); }

}  // namespace Core
