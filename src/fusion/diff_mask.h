// The difference mask shared by the encoder and the decoder: a fixed 128-bit number in
// which bit i marks a changed value i. On the wire it is the last ceil(n / 8) bytes of the
// number, big-endian, so value 0 is bit 0 of the last mask byte. Pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vm {

using DiffMask = unsigned __int128;

constexpr std::size_t mask_size(std::size_t value_count) noexcept { return (value_count + 7) / 8; }

constexpr int lowest_set_bit(DiffMask m) noexcept {
  const auto low = static_cast<std::uint64_t>(m);
  return low != 0 ? __builtin_ctzll(low) : 64 + __builtin_ctzll(static_cast<std::uint64_t>(m >> 64));
}

// Writes the last `n` bytes (n <= 16) of `mask`, most significant first.
inline char* write_mask(DiffMask mask, std::size_t n, char* out) noexcept {
  for (std::size_t k = 0; k < n; ++k) {
    *out++ = static_cast<char>(static_cast<std::uint8_t>(mask >> (8 * (n - 1 - k))));
  }
  return out;
}

// Reads `bytes` (at most 16) as a big-endian number.
constexpr DiffMask read_mask(std::string_view bytes) noexcept {
  DiffMask mask = 0;
  for (char c : bytes) mask = (mask << 8) | static_cast<std::uint8_t>(c);
  return mask;
}

}  // namespace vm
