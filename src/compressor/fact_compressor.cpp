#include "compressor/fact_compressor.h"

#include "wire/byte_reader.h"
#include "wire/utf8.h"

namespace vm {
namespace {

// Reads a pair count and its pairs. Nothing is reserved from the count: a count larger
// than the record can hold fails when the bytes run out.
[[nodiscard]] bool read_pairs(ByteReader& reader, CodeMap& map) {
  const auto count = reader.u32();
  if (!count) return false;
  for (std::uint32_t i = 0; i < *count; ++i) {
    const auto name = reader.counted();
    if (!name || !is_valid_utf8(*name)) return false;
    const auto code = reader.counted();
    if (!code || !is_valid_utf8(*code)) return false;
    map.assign(*name, *code);
  }
  return true;
}

constexpr std::uint64_t power_of_ten(std::uint32_t exponent) noexcept {
  std::uint64_t p = 1;
  while (exponent-- != 0) p *= 10;
  return p;
}

}  // namespace

std::optional<FactCompressor> read_compressor_config(ByteSpan record) {
  ByteReader reader(record);
  const auto precision = reader.u32();
  const auto ms_flag = reader.u8();
  if (!precision || !ms_flag || *precision > kMaxPrecision) return std::nullopt;

  FactCompressor compressor;
  if (!read_pairs(reader, compressor.unit_map)) return std::nullopt;
  if (!read_pairs(reader, compressor.state_map)) return std::nullopt;
  if (!reader.at_end()) return std::nullopt;
  compressor.scale = power_of_ten(*precision);
  compressor.ms_timestamps = *ms_flag != 0;
  return compressor;
}

}  // namespace vm
