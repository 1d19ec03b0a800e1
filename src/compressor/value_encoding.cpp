#include "compressor/value_encoding.h"

#include <cmath>
#include <limits>

#include "wire/base62.h"
#include "wire/base64.h"

namespace vm {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr double kTwoTo63 = 9223372036854775808.0;

std::int64_t saturating_i64(double integral) noexcept {
  if (std::isnan(integral)) return 0;
  if (integral >= kTwoTo63) return kMax;
  if (integral < -kTwoTo63) return kMin;
  return static_cast<std::int64_t>(integral);
}

// std::floor of a finite number. Below 2^62 in magnitude through an integer conversion, which
// the baseline x86-64 target does in two instructions where std::floor is a library call.
double floor_of(double y) noexcept {
  constexpr double kTwoTo62 = 4611686018427387904.0;
  if (!(std::fabs(y) < kTwoTo62)) return std::floor(y);
  const double t = static_cast<double>(static_cast<std::int64_t>(y));  // toward zero, exact
  return t > y ? t - 1 : t;
}

}  // namespace

std::int64_t scaled_integer(double x, std::uint64_t scale) noexcept {
  const double y = x * static_cast<double>(scale);
  if (!std::isfinite(y)) return 0;
  const double floor_y = floor_of(y);
  const std::int64_t n = saturating_i64(floor_y);
  // Every double of magnitude 2^52 or more is whole, so a saturated n always has
  // frac 0 and n + 1 cannot overflow.
  const double frac = y - floor_y;
  if (frac < 0.499999999999) return n;
  if (frac > 0.500000000001) return n + 1;
  return n % 2 == 0 ? n : n + 1;
}

std::int64_t truncated_integer(double x) noexcept { return saturating_i64(std::trunc(x)); }

char* write_value_code(char* out, double x, std::uint64_t scale, Scaling scaling) noexcept {
  const std::int64_t n =
      scaling == Scaling::scaled ? scaled_integer(x, scale) : truncated_integer(x);
  return out + write_base62(n, out);
}

void append_value_code(std::string& out, double x, std::uint64_t scale, Scaling scaling) {
  char text[kMaxBase62Length];
  out.append(text, write_value_code(text, x, scale, scaling));
}

void append_base64url(std::string& out, std::string_view bytes) {
  append_base64(out, bytes, Base64::url);
}

}  // namespace vm
