#include "common/convert.hpp"

namespace Core {
namespace {

// Runs one standard conversion and rewords its failures with `name`.
template <class Convert>
auto converted(const char* name, Convert convert) {
    try {
        return convert();
    } catch (const std::invalid_argument&) {
        throw std::invalid_argument(std::string("invalid ") + name + " argument");
    } catch (const std::out_of_range&) {
        throw std::out_of_range(std::string(name) + " argument out of range");
    }
}

}  // namespace

std::uint64_t toUnsigned64(const std::string& text) {
    return converted("stoull", [&] { return static_cast<std::uint64_t>(std::stoull(text)); });
}

std::int64_t toSigned64(const std::string& text) {
    return converted("stoll", [&] { return static_cast<std::int64_t>(std::stoll(text)); });
}

double toDouble(const std::string& text) {
    return converted("stod", [&] { return std::stod(text); });
}

}  // namespace Core
