#include "compressor/timestamp_code.h"

#include <cmath>
#include <limits>
#include <string_view>

#include "compressor/value_encoding.h"
#include "wire/base64.h"

namespace vm {

Timestamp48 timestamp_48(double timestamp, bool ms_timestamps) noexcept {
  constexpr double kSecondsLimit = 1e11;
  constexpr double kTwoTo64 = 18446744073709551616.0;
  constexpr std::uint64_t kLow48 = (std::uint64_t{1} << 48) - 1;

  double t = timestamp;
  if (ms_timestamps && t < kSecondsLimit) t *= 1000;
  t = std::trunc(t);
  std::uint64_t whole;
  if (!(t > 0)) {
    whole = 0;  // NaN, zero and negatives
  } else if (t >= kTwoTo64) {
    whole = std::numeric_limits<std::uint64_t>::max();
  } else {
    whole = static_cast<std::uint64_t>(t);
  }
  return Timestamp48{whole & kLow48};
}

char* write_timestamp_code(char* out, Timestamp48 t) noexcept {
  const std::uint64_t v = raw(t);
  const char bytes[6] = {static_cast<char>(v >> 40), static_cast<char>(v >> 32),
                         static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                         static_cast<char>(v >> 8),  static_cast<char>(v)};
  return write_base64(out, std::string_view(bytes, sizeof bytes), Base64::url);
}

void append_timestamp_code(std::string& out, Timestamp48 t) {
  char text[kTimestampCodeLength];
  out.append(text, write_timestamp_code(text, t));
}

}  // namespace vm
