// The printable encodings of a compact fact: value codes (a number reduced to a signed
// 64-bit integer and written in Base62) and base64url text (RFC 4648 section 5, no
// padding). Pure functions that append to a caller's buffer; they never fail.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vm {

enum class Scaling { scaled, unscaled };

// x * scale rounded to an integer: half to even within 1e-12 of one half, saturating at
// the int64 range; NaN and infinite products give 0.
[[nodiscard]] std::int64_t scaled_integer(double x, std::uint64_t scale) noexcept;

// x truncated toward zero, saturating at the int64 range; NaN gives 0.
[[nodiscard]] std::int64_t truncated_integer(double x) noexcept;

// Appends the value code of x: the Base62 numeral of scaled_integer(x, scale) or of
// truncated_integer(x). At most 12 characters.
void append_value_code(std::string& out, double x, std::uint64_t scale, Scaling scaling);
// The same written at `out` (kMaxBase62Length bytes of room); returns its end.
char* write_value_code(char* out, double x, std::uint64_t scale, Scaling scaling) noexcept;

void append_base64url(std::string& out, std::string_view bytes);

}  // namespace vm
