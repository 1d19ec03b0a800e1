// Base62 numerals of signed 64-bit integers: optional "-", digits of BASE62_ALPHABET,
// most significant first. Used by the value codes of compact facts and by the exports.
// Pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vm {

inline constexpr std::string_view kBase62Alphabet =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

// "-" and 11 digits.
inline constexpr std::size_t kMaxBase62Length = 12;

// Writes the numeral of `value` into `out` (at least kMaxBase62Length bytes); returns its length.
std::size_t write_base62(std::int64_t value, char* out) noexcept;

// Digit value of `c`, or -1 when it is not in the alphabet.
[[nodiscard]] int base62_digit(char c) noexcept;

// Reads a whole numeral; arithmetic wraps modulo 2^64 without overflow detection.
// Fails on an empty text, a lone "-" or any character outside the alphabet.
[[nodiscard]] std::optional<std::int64_t> parse_base62_wrapping(std::string_view text) noexcept;

}  // namespace vm
