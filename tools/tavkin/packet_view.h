// A packet taken apart for people: header fields through the library's header parser,
// the body with its CRC-8, the CRC-16 trailer, and the changes of a difference body.
// Pure functions over caller-owned bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavkin {

inline constexpr std::uint8_t kDataFull = 63;
inline constexpr std::uint8_t kDataHeart = 127;
inline constexpr std::uint8_t kDataDiff = 170;

struct PacketView {
  std::uint8_t cmd = 0;
  std::uint8_t base_cmd = 0;
  bool secure = false;
  std::vector<std::uint32_t> route;  // the last entry is the source device
  std::uint32_t source_aid = 0;
  std::uint8_t tid = 0;
  std::uint64_t timestamp_raw = 0;
  std::string_view body;  // without the CRC-8 byte that ends it
  std::uint8_t crc8_stored = 0;
  std::uint8_t crc8_computed = 0;
  std::uint16_t crc16_stored = 0;
  std::uint16_t crc16_computed = 0;
};

// Views into `packet`, which must outlive the result. Fails (with a reason) when the
// packet is too short for its header.
[[nodiscard]] std::optional<PacketView> view_packet(std::string_view packet, std::string& error);

// Name of a command code: "DATA_FULL", "DATA_HEART_SEC", ...; "not a data command".
[[nodiscard]] std::string_view command_name(std::uint8_t cmd);

struct DiffChange {
  std::size_t position;
  std::string_view value;
};

struct DiffBody {
  std::size_t mask_bytes = 0;
  std::vector<DiffChange> changes;
  std::size_t trailing_bytes = 0;  // after the last change; receivers ignore them
};

// Reads a difference body for a template of `value_count` values, as a receiver does.
[[nodiscard]] std::optional<DiffBody> read_diff_body(std::string_view body, std::size_t value_count);

// Reads a difference body whose mask is `mask_bytes` long, every mask bit counting.
[[nodiscard]] std::optional<DiffBody> read_diff_body_with_mask(std::string_view body, std::size_t mask_bytes);

// Without the template at hand: the mask lengths (1 to 16 bytes) for which the body reads
// exactly, with no byte left over. Usually one.
[[nodiscard]] std::vector<std::size_t> plausible_mask_lengths(std::string_view body);

// A timestamp as a UTC date; values below 10^11 are read as seconds, others as
// milliseconds (the compressor's own rule).
[[nodiscard]] std::string timestamp_as_date(std::uint64_t raw);

}  // namespace tavkin
