#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace Core::Vostel {

// The one exception of the declaration-language front end. what() is the
// message alone; the position of the offending character or token travels
// beside it (1-based; the column counts bytes).
struct VostelError : std::runtime_error {
    VostelError(const std::string& message, std::uint32_t line, std::uint32_t column)
        : std::runtime_error(message), line(line), column(column) {}

    std::uint32_t line;
    std::uint32_t column;
};

}  // namespace Core::Vostel
