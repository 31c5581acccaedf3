#pragma once

#include <cstdint>
#include <string_view>

namespace Core {

// Start value of the toolkit's text hash. It is deliberately not the
// published FNV-1a offset basis: registries already written depend on it.
inline constexpr std::uint64_t kStableHashStart = 0x14650fb0739d0383ULL;

// 64-bit FNV-1a over the bytes of `text` (taken as unsigned), starting at
// kStableHashStart. The one text hash of the toolkit: point hashes,
// configuration hashes, architecture hashes and random stream keys.
constexpr std::uint64_t stableHash64(std::string_view text) noexcept {
    std::uint64_t h = kStableHashStart;
    for (char c : text) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001b3ULL;
    }
    return h;
}

}  // namespace Core
