// `tavkin capture`: packets as a pcap file of UDP datagrams, one datagram per packet, so
// our traffic opens in a packet analyzer without a network. The packets come from
// standard input (what `tavkin encode` writes) or from the demo fleet.
//
// Each datagram goes from the sending device to one collector: the source address is the
// packet's source device id read as an IPv4 address (device 305419896 = 0x12345678 sends
// from 18.52.86.120), the destination is 192.0.2.1, both ports are the chosen port, and
// the capture time is the packet's own timestamp (milliseconds from 10^11 up, seconds
// below). A packet too short for its header is sent from 0.0.0.0 at the time of the
// packet before it.
#include <cerrno>
#include <cstring>
#include <fstream>

#include <fmt/format.h>

#include "commands.h"
#include "fleet.h"
#include "library.h"
#include "packet_io.h"
#include "pcap_file.h"
#include "velmarinthos_tavkin.h"

namespace tavkin {
namespace {

constexpr std::uint32_t kCollectorAddress = 0xC0000201;  // 192.0.2.1
constexpr std::uint64_t kSenderCtx = 1;
constexpr std::uint64_t kMillisecondsFrom = 100'000'000'000ULL;

void complain(std::string_view message) { fmt::print(stderr, "tavkin capture: {}\n", message); }

UdpDatagram datagram_for(std::string_view packet, std::uint16_t port, std::uint64_t previous_time_us) {
  UdpDatagram d{0, kCollectorAddress, port, port, previous_time_us};
  std::uint64_t h[9];
  if (vm_parse_header_min(reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size(), h, 9) == 1) {
    const std::uint64_t raw = h[7];
    d.source_address = static_cast<std::uint32_t>(h[5]);
    d.time_us = raw >= kMillisecondsFrom ? raw * 1000 : raw * 1'000'000;
  }
  return d;
}

// The demo fleet's facts, each sent through a run request in a fresh sending context, as
// published: every packet ends its body with the body's CRC-8, which dissectors verify.
std::optional<std::vector<std::string>> demo_packets(const CaptureOptions& options) {
  auto compressor = Compressor::create(Fleet::compressor_settings());
  if (!compressor) {
    complain("the library refused the compressor configuration");
    return std::nullopt;
  }
  Fleet fleet(options.devices, options.seed);
  std::vector<std::string> packets;
  std::string buffer;
  for (std::uint64_t i = 0; i < options.facts; ++i) {
    const Fact fact = fleet.next();
    const auto text = compressor->compress(fact_record(fact));
    if (!text) {
      complain(fmt::format("fact {}: the library refused the fact record", i + 1));
      return std::nullopt;
    }
    const Answer answer = call_run(run_request(kSenderCtx, *text, fact.aid, false, "", false), text->size(), buffer);
    if (answer.result <= 0 || answer.bytes.front() == '{') {
      complain(fmt::format("fact {}: the library made no packet", i + 1));
      return std::nullopt;
    }
    packets.emplace_back(answer.bytes);
  }
  return packets;
}

std::optional<std::vector<std::string>> input_packets(PacketFormat format) {
  std::string error;
  auto read = read_packets(read_stdin(), format, error);
  if (!read) {
    complain(error);
    return std::nullopt;
  }
  std::vector<std::string> packets;
  for (auto& p : *read) packets.push_back(std::move(p.bytes));
  return packets;
}

bool write_file(const std::string& path, std::string_view data) {
  if (path == "-") return write_stdout(data);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  return out.write(data.data(), static_cast<std::streamsize>(data.size())) && out.flush();
}

}  // namespace

int run_capture(const CaptureOptions& options) {
  const auto packets = options.demo ? demo_packets(options) : input_packets(options.format);
  if (!packets) return 1;
  std::string file = pcap_file_header();
  std::uint64_t time_us = 0;
  for (std::size_t i = 0; i < packets->size(); ++i) {
    const std::string& packet = (*packets)[i];
    const UdpDatagram d = datagram_for(packet, options.port, time_us);
    time_us = d.time_us;
    const auto record = pcap_udp_record(d, packet);
    if (!record) {
      complain(fmt::format("packet {}: {} bytes do not fit in one UDP datagram (at most {})", i + 1, packet.size(),
                           kMaxUdpPayload));
      return 1;
    }
    file += *record;
  }
  if (!write_file(options.out, file)) {
    complain(fmt::format("cannot write {}: {}", options.out, std::strerror(errno)));
    return 1;
  }
  return 0;
}

}  // namespace tavkin
