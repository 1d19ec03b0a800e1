// Capture files in the classic pcap format (microsecond timestamps, link type "raw IPv4"),
// each record one IPv4 datagram carrying one UDP datagram, so that packet analyzers open
// traffic that never crossed a network. Pure functions building bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavkin {

// The largest UDP payload one IPv4 datagram carries (65535 - 20 - 8).
inline constexpr std::size_t kMaxUdpPayload = 65507;

struct UdpDatagram {
  std::uint32_t source_address = 0;  // IPv4, as a number (10.0.0.1 is 0x0A000001)
  std::uint32_t destination_address = 0;
  std::uint16_t source_port = 0;
  std::uint16_t destination_port = 0;
  std::uint64_t time_us = 0;  // capture time, microseconds since the Unix epoch
};

// The 24-byte file header.
[[nodiscard]] std::string pcap_file_header();

// One record holding `payload` in the datagram `d`; nullopt when the payload exceeds
// kMaxUdpPayload. Times beyond the format's 32-bit seconds are clamped.
[[nodiscard]] std::optional<std::string> pcap_udp_record(const UdpDatagram& d, std::string_view payload);

}  // namespace tavkin
