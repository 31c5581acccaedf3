#pragma once

// Renders an SVG picture to PNG with rsvg-convert (Debian package
// librsvg2-bin, which scripts/install-packages installs) and reads the PNG's
// size back, so a test can check that every plot it makes really draws.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace Testing {

struct PngSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// The size in the PNG's header chunk; zeros when `bytes` is not a PNG.
inline PngSize pngSize(const std::string& bytes) {
    static const char kSignature[] = "\x89PNG\r\n\x1a\n";
    if (bytes.size() < 24 || bytes.compare(0, 8, kSignature, 8) != 0 || bytes.compare(12, 4, "IHDR") != 0)
        return {};
    const auto big = [&bytes](std::size_t at) {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
        return value;
    };
    return {big(16), big(20)};
}

// The width and height attributes of the root element, as whole pixels.
inline PngSize svgSize(const std::string& svg) {
    const auto attribute = [&svg](const std::string& name) -> std::uint32_t {
        const std::size_t at = svg.find(" " + name + "=\"", svg.find("<svg"));
        if (at == std::string::npos) return 0;
        return static_cast<std::uint32_t>(std::stod(svg.substr(at + name.size() + 3)) + 0.5);
    };
    return {attribute("width"), attribute("height")};
}

// Writes `svg` to `stem`.svg, renders `stem`.png and expects a PNG of the
// picture's own size that is not blank (more than a few hundred bytes).
inline void expectRendersToPng(const std::string& svg, const std::filesystem::path& stem) {
    std::filesystem::create_directories(stem.parent_path());
    const std::filesystem::path in = stem.string() + ".svg";
    const std::filesystem::path out = stem.string() + ".png";
    std::ofstream(in, std::ios::binary) << svg;
    std::filesystem::remove(out);
    const std::string command = "rsvg-convert '" + in.string() + "' -o '" + out.string() + "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0)
        << command << " failed (rsvg-convert comes with the Debian package librsvg2-bin)";
    std::ifstream png(out, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(png), std::istreambuf_iterator<char>()};
    const PngSize size = pngSize(bytes);
    const PngSize expected = svgSize(svg);
    EXPECT_GT(expected.width, 0u) << in;
    EXPECT_EQ(size.width, expected.width) << out;
    EXPECT_EQ(size.height, expected.height) << out;
    EXPECT_GT(bytes.size(), 2000u) << out << " looks blank";
}

}  // namespace Testing
