// The fixed-shape packet header: command, route of device ids, template id, 48-bit
// timestamp; and the CRC-16 trailer check. Reads only the header and trailer, never the
// body. Pure function.
#pragma once

#include <cstdint>
#include <optional>

#include "support/bytes.h"

namespace vm {

struct HeaderInfo {
  std::uint8_t cmd = 0;
  std::uint8_t base_cmd = 0;
  bool secure = false;
  std::uint8_t route_count = 0;
  std::uint32_t tid_offset = 0;
  std::uint32_t source_aid = 0;
  std::uint8_t tid = 0;
  std::uint64_t timestamp_raw = 0;
  bool crc16_ok = false;
};

// Offset of the first body byte for a route of `route_count` ids.
constexpr std::size_t body_offset(std::size_t route_count) noexcept { return 9 + 4 * route_count; }

// A packet is long enough when it holds the header, one body byte and the trailer.
[[nodiscard]] constexpr bool header_fits(std::size_t len, std::uint8_t route_count) noexcept {
  return len >= 5 && len >= 4 * std::size_t{route_count} + 12;
}

// Parses the header of `packet`; nullopt when it is too short. A bad trailer still parses,
// with crc16_ok false.
[[nodiscard]] std::optional<HeaderInfo> parse_header(ByteSpan packet) noexcept;

}  // namespace vm
