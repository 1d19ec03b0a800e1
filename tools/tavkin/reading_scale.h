// Readings at the sender's precision. The receiver's JSON reads every value code at a
// fixed scale of ten-thousandths, so a fact compressed with precision 2 comes back 100
// times too small. Knowing the sender's precision p, the integer the code carried is
// recovered from the answer (exactly: the answer's number is that integer over 10^4,
// correctly rounded, and integers of the code's range read back uniquely) and divided by
// 10^p as a decimal, never by multiplying the float. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavkin {

// The value of the integer `n` at precision `p` (n / 10^p, negative p multiplies),
// correctly rounded to a double.
[[nodiscard]] double scaled_value(std::int64_t n, int precision);

// The integer behind a value the library read at the scale of ten-thousandths, or
// nullopt when no integer of at most 53 bits gives exactly `value`.
[[nodiscard]] std::optional<std::int64_t> ten_thousandths_integer(double value);

// The decompress answer `json` with every reading value ("sN_v") given at `precision`.
// Members the rule does not fit (not a number, or not read from an integer) stay as they
// are.
[[nodiscard]] std::string rescale_readings(std::string_view json, int precision);

}  // namespace tavkin
