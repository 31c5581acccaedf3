#pragma once

#include <bit>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace Testing {

// Directory of the test data kept in the repository (set by the build).
inline std::string dataPath(const std::string& relative) { return std::string(VOSTEL_TEST_DATA) + "/" + relative; }

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Rows of a tab-separated file without its header line; empty fields are kept.
inline std::vector<std::vector<std::string>> readTsv(const std::string& path) {
    std::istringstream in(readFile(path));
    std::vector<std::vector<std::string>> rows;
    std::string line;
    bool header = true;
    while (std::getline(in, line)) {
        if (header) { header = false; continue; }
        if (line.empty()) continue;
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (;;) {
            std::size_t tab = line.find('\t', start);
            fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        rows.push_back(fields);
    }
    return rows;
}

inline std::uint64_t hexBits(const std::string& hex) { return std::stoull(hex, nullptr, 16); }
inline double doubleFromHex(const std::string& hex) { return std::bit_cast<double>(hexBits(hex)); }
inline std::uint64_t bitsOf(double value) { return std::bit_cast<std::uint64_t>(value); }

}  // namespace Testing
