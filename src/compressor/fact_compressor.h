// A fact compressor: what compression needs besides the fact itself. Built once from a
// configuration record and never changed afterwards, so any number of threads may use
// one at the same time; the compressor table and running compressions share it by
// reference counting.
#pragma once

#include <cstdint>
#include <optional>

#include "compressor/code_map.h"
#include "support/bytes.h"

namespace vm {

// Values keep at most this many decimal digits (10^18 still fits an unsigned 64-bit scale).
inline constexpr std::uint32_t kMaxPrecision = 18;

struct FactCompressor {
  CodeMap unit_map;
  CodeMap state_map;
  std::uint64_t scale = 1;      // 10^precision
  bool ms_timestamps = false;   // timestamps below 1e11 are seconds and become milliseconds
};

// Parses a configuration record:
//   u32 precision (0..18), u8 ms_timestamps,
//   u32 count, count x (counted name, counted code)   -- unit pairs
//   u32 count, count x (counted name, counted code)   -- state pairs
// all big-endian, counted strings as u32 length + UTF-8 bytes, ending exactly after the
// last state pair. Fails on a short or long record, a precision above 18 or invalid UTF-8.
[[nodiscard]] std::optional<FactCompressor> read_compressor_config(ByteSpan record);

}  // namespace vm
