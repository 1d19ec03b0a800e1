// The numeric prefix of a unit factor ("2.5" of "2.5kW", "inf" of "info"): the longest
// prefix that is a whole decimal number by this grammar, and its value.
//   [+-]? ( "inf" | "infinity" | "nan"  (any letter case)
//         | digits with at most one "." and at least one digit, then optionally
//           [eE] [+-]? digit+ )
// Pure functions.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace vm {

struct NumericPrefix {
  std::size_t length;  // bytes of the text taken by the number
  double value;        // correctly rounded; overflow gives an infinity, underflow a zero
};

// Length of the longest prefix of `text` that the grammar accepts; 0 when there is none.
[[nodiscard]] std::size_t numeric_prefix_length(std::string_view text) noexcept;

// The value of a text that the grammar accepts whole.
[[nodiscard]] double decimal_value(std::string_view number) noexcept;

[[nodiscard]] std::optional<NumericPrefix> find_numeric_prefix(std::string_view text) noexcept;

}  // namespace vm
