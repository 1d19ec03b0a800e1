// The timestamp code of a compact fact: the fact's time cut to 48 bits and written as the
// 8-character base64url text of those six bytes, most significant first. Pure.
#pragma once

#include <cstdint>
#include <string>

#include "support/ids.h"

namespace vm {

inline constexpr std::size_t kTimestampCodeLength = 8;

// With `ms_timestamps`, a time below 1e11 is taken as seconds and multiplied by 1000.
// Then truncation toward zero, saturation to 0..2^64-1 (NaN and negatives give 0), and
// the low 48 bits.
[[nodiscard]] Timestamp48 timestamp_48(double timestamp, bool ms_timestamps) noexcept;

void append_timestamp_code(std::string& out, Timestamp48 t);
// The same written at `out` (kTimestampCodeLength bytes of room); returns its end.
char* write_timestamp_code(char* out, Timestamp48 t) noexcept;

}  // namespace vm
