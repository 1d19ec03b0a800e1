#include "wire/packet_header.h"

#include "wire/command.h"
#include "wire/crc.h"

namespace vm {

std::optional<HeaderInfo> parse_header(ByteSpan p) noexcept {
  if (p.size() < 5) return std::nullopt;
  const std::uint8_t c = p[1];
  if (!header_fits(p.size(), c)) return std::nullopt;

  HeaderInfo h;
  h.cmd = p[0];
  h.base_cmd = normalize_data_command(h.cmd);
  h.secure = is_secure_data(h.cmd);
  h.route_count = c;
  h.tid_offset = 2 + 4u * c;
  if (c > 0) {
    const std::size_t at = 4u * c - 2;
    h.source_aid = (std::uint32_t{p[at]} << 24) | (std::uint32_t{p[at + 1]} << 16) |
                   (std::uint32_t{p[at + 2]} << 8) | std::uint32_t{p[at + 3]};
  }
  h.tid = p[h.tid_offset];
  for (std::size_t i = 0; i < 6; ++i) h.timestamp_raw = (h.timestamp_raw << 8) | p[h.tid_offset + 1 + i];
  const std::size_t n = p.size();
  const std::uint16_t stored = static_cast<std::uint16_t>((p[n - 2] << 8) | p[n - 1]);
  h.crc16_ok = packet_crc16(p.first(n - 2)) == stored;
  return h;
}

}  // namespace vm
