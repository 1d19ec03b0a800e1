// Standardization of a reading's unit text into its unit code: the text is split into
// factors at every "/", and each factor becomes "number,symbol" with decimal multipliers
// folded into SI prefixes (1500W -> 150 daW -> "2q,daW" at scale 100), or its mapped
// name when it has no leading number. Pure; reads only the compressor's unit map.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "compressor/code_map.h"

namespace vm {

// The number and SI prefix of a factor after folding: 1000 -> (1, "k"), 1500 -> (150, "da").
struct FoldedMultiplier {
  double value;
  std::string_view prefix;
};

// Tries G (1e9), M (1e6), k (1000), da (10) in that order and takes the first divisor
// that x reaches and divides into a whole number within 1e-12. Negative numbers, NaN and
// numbers below 10 keep no prefix.
[[nodiscard]] FoldedMultiplier fold_decimal_multiplier(double x) noexcept;

// Appends the unit code of `unit`; "Z" for the empty text and for exactly "unknown".
void append_unit_code(std::string& out, std::string_view unit, const CodeMap& unit_map,
                      std::uint64_t scale);

}  // namespace vm
