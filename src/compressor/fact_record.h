// A strict forward reader of the fact record that hosts hand in for compression:
//   counted id, counted state, f64 timestamp, u32 reading count,
//   count x (counted id, counted state, f64 value, counted unit),
//   optional geohash, optional url, optional msg
// all big-endian; counted = u32 length + UTF-8 bytes; optional = u32 0xFFFFFFFF for
// absent, else a counted string. The record must end exactly after msg. Each part is
// read once, as views into the record (nothing is copied), so a compressor can write
// as it reads. Never reads past the end. Not thread-safe (one reader per record).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "support/bytes.h"

namespace vm {

struct FactHeader {
  std::string_view id;
  std::string_view state;
  double timestamp;
  std::uint32_t reading_count;  // as declared; the readings are not yet read
};

struct SensorReadingView {
  std::string_view id;
  std::string_view state;
  double value;
  std::string_view unit;
};

struct FactTrailers {
  std::optional<std::string_view> geohash;
  std::optional<std::string_view> url;
  std::optional<std::string_view> msg;
};

class FactRecordReader {
 public:
  explicit FactRecordReader(ByteSpan record) noexcept
      : p_(record.data()), end_(record.data() + record.size()) {}

  // Call in this order: header(), next_reading() reading_count times, trailers(). Any
  // of them fails on bytes missing or text that is not UTF-8; trailers() also fails when
  // bytes are left after msg.
  [[nodiscard]] std::optional<FactHeader> header() noexcept;
  [[nodiscard]] std::optional<SensorReadingView> next_reading() noexcept;
  [[nodiscard]] std::optional<FactTrailers> trailers() noexcept;

  // How many readings the bytes left could hold at most: an upper bound on a declared
  // count that is safe to reserve memory for.
  [[nodiscard]] std::size_t readings_room() const noexcept;

 private:
  [[nodiscard]] bool read_u32(std::uint32_t& value) noexcept;
  [[nodiscard]] bool read_f64(double& value) noexcept;
  // `n` bytes that must be valid UTF-8.
  [[nodiscard]] bool read_bytes(std::uint32_t n, std::string_view& text) noexcept;
  [[nodiscard]] bool read_text(std::string_view& text) noexcept;
  [[nodiscard]] bool read_optional_text(std::optional<std::string_view>& text) noexcept;

  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

}  // namespace vm
