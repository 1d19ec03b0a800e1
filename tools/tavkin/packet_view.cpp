// Packet taken apart for people; see packet_view.h.
#include "packet_view.h"

#include <ctime>

#include <fmt/format.h>

#include "velmarinthos_tavkin.h"

namespace tavkin {
namespace {

const auto* as_bytes(std::string_view s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

// Reads the changes of a body whose mask is `mask_bytes` long; bits at positions
// `value_count` and above are ignored, as receivers do.
std::optional<DiffBody> read_changes(std::string_view body, std::size_t mask_bytes, std::size_t value_count) {
  if (body.size() < mask_bytes) return std::nullopt;
  DiffBody diff;
  diff.mask_bytes = mask_bytes;
  std::size_t p = mask_bytes;
  for (std::size_t i = 0; i < value_count; ++i) {
    const std::size_t byte = mask_bytes - 1 - i / 8;
    if (((static_cast<unsigned char>(body[byte]) >> (i % 8)) & 1) == 0) continue;
    if (p >= body.size()) return std::nullopt;
    const std::size_t k = static_cast<unsigned char>(body[p]);
    if (p + 1 + k > body.size()) return std::nullopt;
    diff.changes.push_back({i, body.substr(p + 1, k)});
    p += 1 + k;
  }
  diff.trailing_bytes = body.size() - p;
  return diff;
}

}  // namespace

std::optional<PacketView> view_packet(std::string_view packet, std::string& error) {
  std::uint64_t h[9];
  if (packet.size() < 5) {
    error = fmt::format("a packet has at least 12 bytes; this one has {}", packet.size());
    return std::nullopt;
  }
  if (vm_parse_header_min(as_bytes(packet), packet.size(), h, 9) != 1) {
    const std::size_t c = static_cast<unsigned char>(packet[1]);
    error = fmt::format("a packet with a route of {} needs at least {} bytes; this one has {}", c,
                        4 * c + 12, packet.size());
    return std::nullopt;
  }
  PacketView v;
  v.cmd = static_cast<std::uint8_t>(h[0]);
  v.base_cmd = static_cast<std::uint8_t>(h[1]);
  v.secure = h[2] != 0;
  const std::size_t c = h[3];
  for (std::size_t i = 0; i < c; ++i) {
    const auto* p = as_bytes(packet) + 2 + 4 * i;
    v.route.push_back(std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3]);
  }
  v.source_aid = static_cast<std::uint32_t>(h[5]);
  v.tid = static_cast<std::uint8_t>(h[6]);
  v.timestamp_raw = h[7];
  const std::string_view region = packet.substr(9 + 4 * c, packet.size() - 11 - 4 * c);
  v.body = region.substr(0, region.size() - 1);
  v.crc8_stored = static_cast<std::uint8_t>(region.back());
  v.crc8_computed = vm_crc8(as_bytes(v.body), v.body.size(), 0x07, 0x00);
  v.crc16_stored = static_cast<std::uint16_t>(static_cast<unsigned char>(packet[packet.size() - 2]) << 8 |
                                              static_cast<unsigned char>(packet.back()));
  v.crc16_computed = vm_crc16_ccitt_pub(as_bytes(packet), packet.size() - 2, 0x1021, 0xFFFF);
  return v;
}

std::string_view command_name(std::uint8_t cmd) {
  switch (cmd) {
    case 63: return "DATA_FULL";
    case 64: return "DATA_FULL_SEC";
    case 127: return "DATA_HEART";
    case 128: return "DATA_HEART_SEC";
    case 170: return "DATA_DIFF";
    case 171: return "DATA_DIFF_SEC";
    default: return "not a data command";
  }
}

std::optional<DiffBody> read_diff_body(std::string_view body, std::size_t value_count) {
  if (value_count > 128) return std::nullopt;
  return read_changes(body, (value_count + 7) / 8, value_count);
}

std::optional<DiffBody> read_diff_body_with_mask(std::string_view body, std::size_t mask_bytes) {
  return read_changes(body, mask_bytes, 8 * mask_bytes);
}

std::vector<std::size_t> plausible_mask_lengths(std::string_view body) {
  std::vector<std::size_t> lengths;
  for (std::size_t m = 1; m <= 16 && m <= body.size(); ++m) {
    const auto diff = read_changes(body, m, 8 * m);
    if (diff && diff->trailing_bytes == 0) lengths.push_back(m);
  }
  return lengths;
}

std::string timestamp_as_date(std::uint64_t raw) {
  const bool millis = raw >= 100'000'000'000ULL;
  const std::time_t seconds = static_cast<std::time_t>(millis ? raw / 1000 : raw);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  const std::string date = fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", tm.tm_year + 1900, tm.tm_mon + 1,
                                       tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return millis ? fmt::format("{}.{:03} UTC (read as milliseconds)", date, raw % 1000)
                : fmt::format("{} UTC (read as seconds)", date);
}

}  // namespace tavkin
