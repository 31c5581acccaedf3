#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace Core {

// Appends fixed-width little-endian fields to a byte vector, with no padding,
// so that snapshot code reads like its format table: out.u64(n); out.i64(t);
class ByteWriter {
  public:
    void u8(std::uint8_t v) { *extend(1) = v; }
    void u32(std::uint32_t v) { little(v, 4); }
    void u64(std::uint64_t v) { little(v, 8); }
    void i64(std::int64_t v) { little(static_cast<std::uint64_t>(v), 8); }
    // The IEEE-754 bit pattern, so every double (NaN payloads included)
    // survives a round trip.
    void f64(double v) { little(std::bit_cast<std::uint64_t>(v), 8); }
    // Raw bytes without a length or terminator (magics, names).
    void raw(std::string_view text) { append(text.data(), text.size()); }
    void raw(std::span<const std::uint8_t> data) { append(data.data(), data.size()); }

    // Makes room for `count` more bytes at once, for writers that know
    // roughly how much follows.
    void reserve(std::size_t count) {
        if (buffer_.size() - size_ < count) buffer_.resize(size_ + count);
    }

    // The bytes written so far.
    std::span<const std::uint8_t> bytes() const& { return {buffer_.data(), size_}; }
    std::vector<std::uint8_t> take() && {
        buffer_.resize(size_);
        return std::move(buffer_);
    }

  private:
    // Room for `count` more bytes, returned as where they go. The buffer
    // grows by doubling, so a snapshot of many fields costs few copies.
    std::uint8_t* extend(std::size_t count) {
        if (buffer_.size() - size_ < count) grow(count);
        std::uint8_t* at = buffer_.data() + size_;
        size_ += count;
        return at;
    }
    void grow(std::size_t count);

    void append(const void* data, std::size_t count) {
        if (count != 0) std::memcpy(extend(count), data, count);
    }

    void little(std::uint64_t v, std::size_t width) {
        std::uint8_t* at = extend(width);
        if constexpr (std::endian::native == std::endian::little) {
            // The value's own bytes are already in field order: one copy.
            std::memcpy(at, &v, width);
        } else {
            for (std::size_t i = 0; i < width; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
        }
    }

    std::vector<std::uint8_t> buffer_;  // its size is the room; the first size_ bytes are written
    std::size_t size_ = 0;
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
        const std::uint8_t* field = data_.data() + pos_ - width;
        std::uint64_t v = 0;
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(&v, field, width);
        } else {
            for (std::size_t i = 0; i < width; ++i) v |= std::uint64_t{field[i]} << (8 * i);
        }
        return v;
    }

    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace Core
