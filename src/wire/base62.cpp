#include "wire/base62.h"

#include <array>

namespace vm {
namespace {

constexpr auto kDigitOf = [] {
  std::array<signed char, 256> t{};
  t.fill(-1);
  for (std::size_t i = 0; i < kBase62Alphabet.size(); ++i)
    t[static_cast<unsigned char>(kBase62Alphabet[i])] = static_cast<signed char>(i);
  return t;
}();

}  // namespace

std::size_t write_base62(std::int64_t value, char* out) noexcept {
  if (value == 0) {
    out[0] = '0';
    return 1;
  }
  // Unsigned negation keeps INT64_MIN exact (magnitude 2^63).
  std::uint64_t magnitude =
      value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  char digits[kMaxBase62Length];
  std::size_t n = 0;
  while (magnitude != 0) {
    digits[n++] = kBase62Alphabet[magnitude % 62];
    magnitude /= 62;
  }
  std::size_t len = 0;
  if (value < 0) out[len++] = '-';
  while (n != 0) out[len++] = digits[--n];
  return len;
}

int base62_digit(char c) noexcept { return kDigitOf[static_cast<unsigned char>(c)]; }

std::optional<std::int64_t> parse_base62_wrapping(std::string_view text) noexcept {
  bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    int d = base62_digit(c);
    if (d < 0) return std::nullopt;
    value = value * 62 + static_cast<std::uint64_t>(d);
  }
  if (negative) value = 0 - value;
  return static_cast<std::int64_t>(value);
}

}  // namespace vm
