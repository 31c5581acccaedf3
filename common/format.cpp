#include "common/format.hpp"

#include <cstdio>

namespace Core {
namespace {

std::string formatGeneral(const char* pattern, double value) {
    char buffer[64];
    int length = std::snprintf(buffer, sizeof buffer, pattern, value);
    return std::string(buffer, static_cast<std::size_t>(length));
}

}  // namespace

std::string formatFull(double value) { return formatGeneral("%.17g", value); }

std::string formatShort(double value) { return formatGeneral("%.6g", value); }

}  // namespace Core
