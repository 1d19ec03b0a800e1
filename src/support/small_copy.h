// Inline copies and comparisons of the short byte strings that facts are made of (ids,
// codes, values of a few bytes), where a library call costs more than the bytes. Reads and
// writes exactly the given bytes, never around them. Pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vm {

// Copies n bytes: two overlapping word moves for 4 to 16 bytes, memcpy beyond.
[[gnu::always_inline]] inline void copy_text(char* dst, const char* src, std::size_t n) noexcept {
  if (n >= 8) {
    if (n > 16) {
      std::memcpy(dst, src, n);
      return;
    }
    std::uint64_t a, b;
    std::memcpy(&a, src, 8);
    std::memcpy(&b, src + n - 8, 8);
    std::memcpy(dst, &a, 8);
    std::memcpy(dst + n - 8, &b, 8);
  } else if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, src, 4);
    std::memcpy(&b, src + n - 4, 4);
    std::memcpy(dst, &a, 4);
    std::memcpy(dst + n - 4, &b, 4);
  } else {
    for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
  }
}

// Whether the n bytes at a and b are equal, compared the same way.
[[gnu::always_inline]] inline bool same_bytes(const char* a, const char* b, std::size_t n) noexcept {
  if (n >= 8) {
    if (n > 16) return std::memcmp(a, b, n) == 0;
    std::uint64_t a0, a1, b0, b1;
    std::memcpy(&a0, a, 8);
    std::memcpy(&b0, b, 8);
    std::memcpy(&a1, a + n - 8, 8);
    std::memcpy(&b1, b + n - 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  if (n >= 4) {
    std::uint32_t a0, a1, b0, b1;
    std::memcpy(&a0, a, 4);
    std::memcpy(&b0, b, 4);
    std::memcpy(&a1, a + n - 4, 4);
    std::memcpy(&b1, b + n - 4, 4);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  for (std::size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

}  // namespace vm
