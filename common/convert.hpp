#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

namespace Core {

// Checked text-to-number conversions with the semantics of std::stoull,
// std::stoll and std::stod in base 10 (leading white space skipped, parsing
// stops at the first character that does not fit). Text without a number
// throws std::invalid_argument "invalid stoull argument" (stoll, stod
// alike); a value out of range throws std::out_of_range
// "stoull argument out of range" (stoll, stod alike). These texts are part
// of the toolkit's messages, so they do not depend on the standard library.
std::uint64_t toUnsigned64(const std::string& text);
std::int64_t toSigned64(const std::string& text);
double toDouble(const std::string& text);

// map.at(key) with the toolkit's fixed text for a missing key,
// std::out_of_range "invalid map<K, T> key".
template <class Map, class Key>
const typename Map::mapped_type& lookup(const Map& map, const Key& key) {
    auto found = map.find(key);
    if (found == map.end()) throw std::out_of_range("invalid map<K, T> key");
    return found->second;
}

}  // namespace Core
