#include "compressor/unit_code.h"

#include <cmath>

#include "compressor/numeric_prefix.h"
#include "compressor/unicode_space.h"
#include "compressor/value_encoding.h"

namespace vm {
namespace {

constexpr double kWholeTolerance = 1e-12;

struct SplitFactor {
  std::string_view base;      // "km" of "km2"
  std::string_view exponent;  // "2" of "km2": the trailing ASCII digits
};

SplitFactor split_exponent(std::string_view factor) noexcept {
  std::size_t base_length = factor.size();
  while (base_length > 0 && factor[base_length - 1] >= '0' && factor[base_length - 1] <= '9')
    --base_length;
  return {factor.substr(0, base_length), factor.substr(base_length)};
}

// Whole numbers of magnitude 1 or more are written unscaled ("1" of 1 km, not "1e2" at
// scale 100); everything else keeps the compressor's precision.
Scaling scaling_for(double x) noexcept {
  const bool whole = std::fabs(x) >= 1 && std::fabs(x - std::trunc(x)) <= kWholeTolerance;
  return whole ? Scaling::unscaled : Scaling::scaled;
}

void append_factor_code(std::string& out, std::string_view factor_text, const CodeMap& unit_map,
                        std::uint64_t scale) {
  const auto [base, exponent] = split_exponent(trim_unicode_space(factor_text));
  const auto number = find_numeric_prefix(base);
  if (!number) {
    append_mapped(out, unit_map, base);
    out += exponent;
    return;
  }
  const std::string_view symbol = base.substr(number->length);
  const FoldedMultiplier folded = fold_decimal_multiplier(number->value);
  append_value_code(out, folded.value, scale, scaling_for(folded.value));
  out += ',';
  append_mapped(out, unit_map, folded.prefix, symbol);
  out += exponent;
}

}  // namespace

FoldedMultiplier fold_decimal_multiplier(double x) noexcept {
  static constexpr FoldedMultiplier kPrefixes[] = {{1e9, "G"}, {1e6, "M"}, {1e3, "k"}, {10, "da"}};
  for (const auto& [divisor, prefix] : kPrefixes) {
    if (!(x >= divisor)) continue;
    const double quotient = x / divisor;
    if (std::fabs(quotient - std::round(quotient)) <= kWholeTolerance) return {quotient, prefix};
  }
  return {x, {}};
}

void append_unit_code(std::string& out, std::string_view unit, const CodeMap& unit_map,
                      std::uint64_t scale) {
  if (unit.empty() || unit == "unknown") {
    out += 'Z';
    return;
  }
  for (;;) {
    const std::size_t slash = unit.find('/');
    append_factor_code(out, unit.substr(0, slash), unit_map, scale);
    if (slash == std::string_view::npos) return;
    out += '/';
    unit.remove_prefix(slash + 1);
  }
}

}  // namespace vm
