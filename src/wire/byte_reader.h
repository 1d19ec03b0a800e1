// A forward-only cursor over a big-endian byte record. Every read checks the remaining
// length first and fails without reading past the end; nothing is reserved from a count
// that the record declares. Not thread-safe (one cursor per parse).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "support/bytes.h"

namespace vm {

// The unsigned integer in the sizeof(T) big-endian bytes at `p`: one load and one byte swap.
template <class T>
[[nodiscard]] inline T load_big_endian(const std::uint8_t* p) noexcept {
  static_assert(sizeof(T) == 4 || sizeof(T) == 8);
  T v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::little) {
    if constexpr (sizeof(T) == 4) v = __builtin_bswap32(v);
    else v = __builtin_bswap64(v);
  }
  return v;
}

class ByteReader {
 public:
  explicit ByteReader(ByteSpan data) noexcept : data_(data) {}

  [[nodiscard]] std::size_t remaining() const noexcept { return data_.size() - pos_; }
  [[nodiscard]] bool at_end() const noexcept { return pos_ == data_.size(); }
  [[nodiscard]] std::size_t position() const noexcept { return pos_; }

  [[nodiscard]] std::optional<std::uint8_t> u8() noexcept {
    if (remaining() < 1) return std::nullopt;
    return data_[pos_++];
  }
  [[nodiscard]] std::optional<std::uint32_t> u32() noexcept { return big_endian<std::uint32_t>(4); }
  [[nodiscard]] std::optional<std::uint64_t> u64() noexcept { return big_endian<std::uint64_t>(8); }
  [[nodiscard]] std::optional<double> f64() noexcept {
    auto bits = u64();
    if (!bits) return std::nullopt;
    double d;
    std::memcpy(&d, &*bits, sizeof d);
    return d;
  }
  // `n` raw bytes as a view into the record.
  [[nodiscard]] std::optional<std::string_view> bytes(std::size_t n) noexcept {
    if (remaining() < n) return std::nullopt;
    std::string_view v = as_text(data_.subspan(pos_, n));
    pos_ += n;
    return v;
  }
  // A 4-byte big-endian length followed by that many bytes.
  [[nodiscard]] std::optional<std::string_view> counted() noexcept {
    auto n = u32();
    if (!n) return std::nullopt;
    return bytes(*n);
  }

 private:
  template <class T>
  std::optional<T> big_endian(std::size_t width) noexcept {
    if (remaining() < width) return std::nullopt;
    const T v = load_big_endian<T>(data_.data() + pos_);
    pos_ += width;
    return v;
  }

  ByteSpan data_;
  std::size_t pos_ = 0;
};

// Appends big-endian integers to a byte string.
inline void put_u32(std::string& out, std::uint32_t v) {
  const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 8), static_cast<char>(v)};
  out.append(b, 4);
}

}  // namespace vm
