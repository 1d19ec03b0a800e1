// The receiver's answer predicted from the sender's side: the flat JSON view of a compact
// fact text and the packet header summary under "__packet_meta__". Written from the
// protocol description alone, independently of the library, so that comparing the two
// checks the whole road. Pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "json_text.h"

namespace tavkin {

// Drops a routing prefix: everything up to and including the first ";".
[[nodiscard]] std::string_view without_routing_prefix(std::string_view text);

// The JSON view of a compact fact text (routing prefix already dropped): id, s, t_raw,
// sN_id/sN_s/sN_u/sN_v per reading, geohash, url and msg.
[[nodiscard]] JsonObject compact_fact_view(std::string_view text);

struct PacketMeta {
  std::uint8_t cmd = 0;
  std::uint32_t source_aid = 0;
  std::uint8_t tid = 0;
  std::uint64_t timestamp_raw = 0;
  bool crc16_ok = true;
};

[[nodiscard]] JsonObject packet_meta_object(const PacketMeta& meta);

// The full success answer of a decompress request for `text` carried by `meta`'s packet.
[[nodiscard]] std::string expected_decompress_answer(std::string_view text, const PacketMeta& meta);

// Well-formed UTF-8 (no overlongs, surrogates or code points above U+10FFFF).
[[nodiscard]] bool is_valid_utf8(std::string_view bytes);

}  // namespace tavkin
