#include "compressor/numeric_prefix.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

#include "compressor/code_map.h"
#include "support/fault.h"

namespace vm {
namespace {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool is_sign(char c) noexcept { return c == '+' || c == '-'; }

// Whether `text` starts with the lower-case `word`, ignoring ASCII case.
bool starts_with_word(std::string_view text, std::string_view word) noexcept {
  if (text.size() < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i)
    if (ascii_lower(text[i]) != word[i]) return false;
  return true;
}

std::size_t skip_digits(std::string_view text, std::size_t i) noexcept {
  while (i < text.size() && is_digit(text[i])) ++i;
  return i;
}

// Power of ten of a finite, non-zero decimal's leading digit, clamped far beyond the
// double range. Only needed to tell overflow from underflow.
std::int64_t leading_decimal_exponent(std::string_view number) noexcept {
  constexpr std::int64_t kClamp = 1'000'000'000;
  std::size_t i = is_sign(number.front()) ? 1 : 0;
  std::int64_t exponent = 0;
  bool seen_nonzero = false, after_point = false;
  for (; i < number.size() && number[i] != 'e' && number[i] != 'E'; ++i) {
    const char c = number[i];
    if (c == '.') {
      after_point = true;
    } else if (!seen_nonzero) {
      if (c != '0') seen_nonzero = true;
      if (after_point) --exponent;
    } else if (!after_point) {
      ++exponent;
    }
    if (exponent > kClamp || exponent < -kClamp) return exponent;
  }
  if (i < number.size()) {
    ++i;
    const bool negative = number[i] == '-';
    if (is_sign(number[i])) ++i;
    std::int64_t e = 0;
    for (; i < number.size() && e < kClamp; ++i) e = e * 10 + (number[i] - '0');
    exponent += negative ? -e : e;
  }
  return exponent;
}

}  // namespace

std::size_t numeric_prefix_length(std::string_view text) noexcept {
  std::size_t i = (!text.empty() && is_sign(text.front())) ? 1 : 0;
  const std::string_view rest = text.substr(i);
  // Most unit texts start with a letter that begins no number ("m", "Celsius", "kW").
  if (rest.empty()) return 0;
  const char first = ascii_lower(rest.front());
  if (!is_digit(first) && first != '.' && first != 'i' && first != 'n') return 0;
  if (starts_with_word(rest, "infinity")) return i + 8;
  if (starts_with_word(rest, "inf") || starts_with_word(rest, "nan")) return i + 3;

  const std::size_t int_end = skip_digits(text, i);
  std::size_t digits = int_end - i;
  i = int_end;
  if (i < text.size() && text[i] == '.') {
    const std::size_t frac_end = skip_digits(text, i + 1);
    digits += frac_end - (i + 1);
    i = frac_end;
  }
  if (digits == 0) return 0;

  // The exponent belongs to the number only when it has at least one digit ("1e5x"
  // gives "1e5"; "1e+x" gives "1").
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < text.size() && is_sign(text[j])) ++j;
    const std::size_t exp_end = skip_digits(text, j);
    if (exp_end > j) i = exp_end;
  }
  return i;
}

double decimal_value(std::string_view number) noexcept {
  // std::from_chars rounds correctly but takes no leading "+".
  if (number.front() == '+') number.remove_prefix(1);
  const char* const end = number.data() + number.size();
  double value = 0;
  const auto [ptr, ec] = std::from_chars(number.data(), end, value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    // Beyond the double range: what rounding to nearest gives.
    const double magnitude = leading_decimal_exponent(number) >= 0
                                 ? std::numeric_limits<double>::infinity() : 0.0;
    return number.front() == '-' ? -magnitude : magnitude;
  }
  VM_CHECK(ec == std::errc() && ptr == end);
  return value;
}

std::optional<NumericPrefix> find_numeric_prefix(std::string_view text) noexcept {
  const std::size_t length = numeric_prefix_length(text);
  if (length == 0) return std::nullopt;
  return NumericPrefix{length, decimal_value(text.substr(0, length))};
}

}  // namespace vm
