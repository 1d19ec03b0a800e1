// `tavkin decode`: packets to JSON Lines, one answer per packet. The input is read and
// checked whole first; a packet the receiver refuses stops the tool (or, with
// --keep-going, is reported and answered by the library's error object).
#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "commands.h"
#include "library.h"
#include "packet_io.h"

namespace tavkin {
namespace {

void complain(std::string_view message) { fmt::print(stderr, "tavkin decode: {}\n", message); }

// A decompress answer is not bounded by its packet (a heartbeat rebuilds a whole fact).
std::size_t first_capacity(std::size_t packet_size) { return std::max<std::size_t>(1 << 16, 64 * packet_size); }

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
      complain(fmt::format("{} {}: {}", unit, packet.number, *refused));
      status = 1;
      if (!options.keep_going) break;
    }
    out += answer.bytes;
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
  return status;
}

}  // namespace tavkin
