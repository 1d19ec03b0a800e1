// The one packet writer: frames a one-hop data packet (command, route of one device id,
// template id, 48-bit timestamp, body, CRC-8 of the body, CRC-16 trailer). Used by the run
// and relay requests and by the batch pipeline. Pure function; appends to the caller's buffer.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/ids.h"

namespace vm {

// Header, CRC-8 and trailer around a body.
inline constexpr std::size_t kPacketOverhead = 16;

// The six timestamp bytes of a packet.
using PacketTimestamp = std::array<std::uint8_t, 6>;

// The packet timestamp of a compact fact's timestamp text: its first six bytes, when the
// text is unpadded URL-safe Base64 of at least six bytes; else nothing (and no packet can
// carry the fact). A request checks this before it fuses, so a fact that cannot travel
// changes no template.
[[nodiscard]] std::optional<PacketTimestamp> read_packet_timestamp(std::string_view ts_text);

// Appends the packet to `out`; false (appending nothing) when `tid` does not fit one byte.
// `body` must not point into `out`. The byte after the body is the CRC-8 of the body, or
// `check_byte` when given (a state check, which only heartbeats and differences carry).
[[nodiscard]] bool frame_packet(std::uint8_t command, DeviceId aid, TemplateId tid,
                                const PacketTimestamp& ts, std::string_view body, std::string& out,
                                std::optional<std::uint8_t> check_byte = std::nullopt);

// The 48-bit number of a packet timestamp.
[[nodiscard]] constexpr std::uint64_t timestamp_number(const PacketTimestamp& ts) noexcept {
  std::uint64_t t = 0;
  for (std::uint8_t b : ts) t = (t << 8) | b;
  return t;
}

// Appends the packet to `out`. Fails (appending nothing) when `tid` does not fit one byte
// or `ts_text` is not unpadded URL-safe Base64 of at least six bytes. `ts_text` and `body`
// must not point into `out`.
[[nodiscard]] bool build_packet(std::uint8_t command, DeviceId aid, TemplateId tid,
                                std::string_view ts_text, std::string_view body, std::string& out);

}  // namespace vm
