#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace Core {

// Appends fixed-width little-endian fields to a byte vector, with no padding,
// so that snapshot code reads like its format table: out.u64(n); out.i64(t);
class ByteWriter {
  public:
    void u8(std::uint8_t v) { bytes_.push_back(v); }
    void u32(std::uint32_t v) { little(v, 4); }
    void u64(std::uint64_t v) { little(v, 8); }
    void i64(std::int64_t v) { little(static_cast<std::uint64_t>(v), 8); }
    // The IEEE-754 bit pattern, so every double (NaN payloads included)
    // survives a round trip.
    void f64(double v) { little(std::bit_cast<std::uint64_t>(v), 8); }
    // Raw bytes without a length or terminator (magics, names).
    void raw(std::string_view text) { bytes_.insert(bytes_.end(), text.begin(), text.end()); }
    void raw(std::span<const std::uint8_t> data) { bytes_.insert(bytes_.end(), data.begin(), data.end()); }

    const std::vector<std::uint8_t>& bytes() const& { return bytes_; }
    std::vector<std::uint8_t> take() && { return std::move(bytes_); }

  private:
    void little(std::uint64_t v, int width) {
        for (int i = 0; i < width; ++i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }

    std::vector<std::uint8_t> bytes_;
};

// Reads the fields ByteWriter writes. The first read that runs past the end
// marks the reader failed; from then on every read returns zero (or an empty
// text) without moving, so a parser can read a whole record and check ok()
// once before using any of it.
class ByteReader {
  public:
    explicit ByteReader(std::span<const std::uint8_t> data) : data_(data) {}

    std::uint8_t u8() { return static_cast<std::uint8_t>(little(1)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(little(4)); }
    std::uint64_t u64() { return little(8); }
    std::int64_t i64() { return static_cast<std::int64_t>(little(8)); }
    double f64() { return std::bit_cast<double>(little(8)); }

    // `count` raw bytes as a view into the input (valid as long as the input).
    std::string_view raw(std::size_t count) {
        if (!take(count)) return {};
        return {reinterpret_cast<const char*>(data_.data() + pos_ - count), count};
    }

    // Reads expected.size() bytes and answers whether they equal `expected`;
    // a short input fails the reader as any other read does.
    bool match(std::string_view expected) { return ok_ && raw(expected.size()) == expected && ok_; }

    bool ok() const { return ok_; }
    std::size_t remaining() const { return data_.size() - pos_; }
    // True when every byte was consumed and no read failed.
    bool finished() const { return ok_ && pos_ == data_.size(); }

  private:
    bool take(std::size_t count) {
        if (!ok_ || count > remaining()) {
            ok_ = false;
            return false;
        }
        pos_ += count;
        return true;
    }

    std::uint64_t little(std::size_t width) {
        if (!take(width)) return 0;
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < width; ++i) v |= std::uint64_t{data_[pos_ - width + i]} << (8 * i);
        return v;
    }

    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace Core
