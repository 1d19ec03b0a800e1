// Capture files in the classic pcap format; see pcap_file.h.
#include "pcap_file.h"

#include <algorithm>

namespace tavkin {
namespace {

constexpr std::uint32_t kMagicMicroseconds = 0xA1B2C3D4;
constexpr std::uint32_t kLinkTypeRawIp = 101;
constexpr std::uint32_t kSnapLength = 65535;
constexpr std::uint8_t kProtocolUdp = 17;

// The file is little-endian throughout, the datagrams inside it big-endian.
void put_le(std::string& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(v >> (8 * i));
}
void put_be(std::string& out, std::uint64_t v, int bytes) {
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) out += static_cast<char>(v >> shift);
}

std::uint16_t ipv4_header_checksum(std::string_view header) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < header.size(); i += 2) {
    sum += static_cast<std::uint32_t>(static_cast<unsigned char>(header[i]) << 8 | static_cast<unsigned char>(header[i + 1]));
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

}  // namespace

std::string pcap_file_header() {
  std::string out;
  put_le(out, kMagicMicroseconds, 4);
  put_le(out, 2, 2);  // version 2.4
  put_le(out, 4, 2);
  put_le(out, 0, 4);  // time zone offset
  put_le(out, 0, 4);  // timestamp accuracy
  put_le(out, kSnapLength, 4);
  put_le(out, kLinkTypeRawIp, 4);
  return out;
}

std::optional<std::string> pcap_udp_record(const UdpDatagram& d, std::string_view payload) {
  if (payload.size() > kMaxUdpPayload) return std::nullopt;
  const std::size_t udp_length = 8 + payload.size();
  const std::size_t ip_length = 20 + udp_length;

  std::string ip;
  put_be(ip, 0x45, 1);  // version 4, header of 5 words
  put_be(ip, 0, 1);
  put_be(ip, ip_length, 2);
  put_be(ip, 0, 2);       // identification
  put_be(ip, 0x4000, 2);  // don't fragment
  put_be(ip, 64, 1);      // time to live
  put_be(ip, kProtocolUdp, 1);
  put_be(ip, 0, 2);  // checksum, filled in below
  put_be(ip, d.source_address, 4);
  put_be(ip, d.destination_address, 4);
  const std::uint16_t checksum = ipv4_header_checksum(ip);
  ip[10] = static_cast<char>(checksum >> 8);
  ip[11] = static_cast<char>(checksum);
  put_be(ip, d.source_port, 2);
  put_be(ip, d.destination_port, 2);
  put_be(ip, udp_length, 2);
  put_be(ip, 0, 2);  // no UDP checksum (allowed over IPv4)
  ip += payload;

  std::string record;
  const std::uint64_t seconds = std::min<std::uint64_t>(d.time_us / 1'000'000, 0xFFFFFFFF);
  put_le(record, seconds, 4);
  put_le(record, d.time_us % 1'000'000, 4);
  put_le(record, ip.size(), 4);
  put_le(record, ip.size(), 4);
  record += ip;
  return record;
}

}  // namespace tavkin
