// `tavkin decode`: packets to JSON Lines, one answer per packet. The input is read and
// checked whole first; a packet the receiver refuses stops the tool (or, with
// --keep-going, is reported and answered by the library's error object). A packet of a
// template this receiver does not know (it lost a packet or its files) does not stop it:
// its line names the device and template, and the summary names the devices to ask for
// a full packet.
#include <cerrno>
#include <cstring>
#include <set>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "commands.h"
#include "library.h"
#include "packet_io.h"
#include "reading_scale.h"
#include "velmarinthos_tavkin.h"

namespace tavkin {
namespace {

void complain(std::string_view message) { fmt::print(stderr, "tavkin decode: {}\n", message); }

// A decompress answer is not bounded by its packet (a heartbeat rebuilds a whole fact).
std::size_t first_capacity(std::size_t packet_size) { return std::max<std::size_t>(1 << 16, 64 * packet_size); }

constexpr std::string_view kUnknownTemplate = "fusion_receive_apply_failed";

struct PacketOrigin {
  std::uint64_t aid = 0;
  std::uint64_t tid = 0;
};

PacketOrigin origin_of(std::string_view packet) {
  std::uint64_t h[9] = {};
  if (vm_parse_header_min(reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size(), h, 9) != 1) return {};
  return {h[5], h[6]};
}

}  // namespace

int run_decode(const DecodeOptions& options) {
  std::string error;
  const auto packets = read_packets(read_stdin(), options.format, error);
  if (!packets) {
    complain(error);
    return 1;
  }
  const char* unit = options.format == PacketFormat::binary ? "record" : "line";
  std::string out, buffer;
  int status = 0;
  std::set<std::uint64_t> unknown_devices;
  std::size_t unknown_packets = 0;
  for (const InputPacket& packet : *packets) {
    const std::string request = decompress_request(options.ctx, packet.base64, options.registry);
    const Answer answer = call_decompress(request, first_capacity(packet.bytes.size()), buffer);
    if (answer.result <= 0) {
      complain(fmt::format("{} {}: the library gave no answer", unit, packet.number));
      status = 1;
      if (!options.keep_going) break;
      continue;
    }
    if (const auto refused = answer_error(answer.bytes)) {
      if (*refused == kUnknownTemplate) {
        const PacketOrigin origin = origin_of(packet.bytes);
        unknown_devices.insert(origin.aid);
        ++unknown_packets;
        out += fmt::format(R"({{"aid":{},"error":"{}","tid":{}}})", origin.aid, kUnknownTemplate, origin.tid);
        out += '\n';
        continue;
      }
      complain(fmt::format("{} {}: {}", unit, packet.number, *refused));
      status = 1;
      if (!options.keep_going) break;
    }
    if (options.precision) {
      out += rescale_readings(answer.bytes, *options.precision);
    } else {
      out += answer.bytes;
    }
    out += '\n';
    if (out.size() >= (1u << 16)) {
      if (!write_stdout(out)) {
        complain(fmt::format("cannot write the answers: {}", std::strerror(errno)));
        return 1;
      }
      out.clear();
    }
  }
  if (!write_stdout(out)) {
    complain(fmt::format("cannot write the answers: {}", std::strerror(errno)));
    return 1;
  }
  if (unknown_packets > 0) {
    complain(fmt::format("{} packet(s) of templates this receiver does not know; ask device(s) {} for a full packet",
                         unknown_packets, fmt::join(unknown_devices, ", ")));
  }
  return status;
}

}  // namespace tavkin
