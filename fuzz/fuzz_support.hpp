#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

// Shared by the fuzz targets: a failed property is reported like a crash, so
// libFuzzer keeps the input that broke it.
namespace Fuzz {

using Bytes = std::vector<std::uint8_t>;

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz property failed: %s\n", what);
    std::abort();
}

inline void require(bool condition, const char* what) {
    if (!condition) fail(what);
}

inline std::span<const std::uint8_t> input(const std::uint8_t* data, std::size_t size) {
    return {data, size};
}

}  // namespace Fuzz
