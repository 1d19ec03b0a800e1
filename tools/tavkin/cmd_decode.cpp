// `tavkin decode`: packets to JSON Lines, one answer per packet. The input is read and
// checked whole first; a packet the receiver refuses stops the tool (or, with
// --keep-going, is reported and answered by the library's error object). Two refusals do
// not stop it, because the remedy lies with the device, not with the input: a packet of a
// template this receiver does not know (it lost a packet or its files), whose line names
// the device and template, and a packet whose state check does not hold (the template
// here is not the sender's), answered by the library's error object. The summary names
// the devices to ask for a full packet, each kind apart.
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
constexpr std::string_view kStateMismatch = "state_mismatch";

struct PacketOrigin {
  std::uint64_t aid = 0;
  std::uint64_t tid = 0;
};

PacketOrigin origin_of(std::string_view packet) {
  std::uint64_t h[9] = {};
  if (vm_parse_header_min(reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size(), h, 9) != 1) return {};
  return {h[5], h[6]};
}

// Packets refused for want of a full packet, and their devices.
struct Resync {
  std::set<std::uint64_t> devices;
  std::size_t packets = 0;
  void add(std::uint64_t aid) {
    devices.insert(aid);
    ++packets;
  }
};

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
  Resync unknown, mismatched;
  for (const InputPacket& packet : *packets) {
    const std::string request = decompress_request(options.ctx, packet.base64, options.registry, options.state_check);
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
        unknown.add(origin.aid);
        out += fmt::format(R"({{"aid":{},"error":"{}","tid":{}}})", origin.aid, kUnknownTemplate, origin.tid);
        out += '\n';
        continue;
      }
      if (*refused == kStateMismatch) {  // the answer names the device and template itself
        mismatched.add(origin_of(packet.bytes).aid);
        out += answer.bytes;
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
  if (unknown.packets > 0) {
    complain(fmt::format("{} packet(s) of templates this receiver does not know; ask device(s) {} for a full packet",
                         unknown.packets, fmt::join(unknown.devices, ", ")));
  }
  if (mismatched.packets > 0) {
    complain(fmt::format("{} packet(s) refused for a state mismatch (this receiver's template is not the sender's); "
                         "ask device(s) {} for a full packet",
                         mismatched.packets, fmt::join(mismatched.devices, ", ")));
  }
  return status;
}

}  // namespace tavkin
