// Packets and lines on standard streams; see packet_io.h.
#include "packet_io.h"

#include <iostream>
#include <iterator>

#include <fmt/format.h>

#include "codec.h"

namespace tavkin {

std::string read_stdin() {
  std::ios::sync_with_stdio(false);
  return std::string(std::istreambuf_iterator<char>(std::cin), {});
}

std::vector<Line> content_lines(std::string_view input) {
  std::vector<Line> lines;
  std::size_t number = 0;
  while (!input.empty()) {
    const std::size_t nl = input.find('\n');
    std::string_view text = input.substr(0, nl);
    input = nl == std::string_view::npos ? std::string_view{} : input.substr(nl + 1);
    ++number;
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (text.find_first_not_of(" \t") == std::string_view::npos) continue;
    lines.push_back({number, text});
  }
  return lines;
}

std::optional<std::vector<InputPacket>> read_packets(std::string_view input, PacketFormat format, std::string& error) {
  std::vector<InputPacket> packets;
  if (format == PacketFormat::binary) {
    std::size_t pos = 0, number = 0;
    while (pos < input.size()) {
      ++number;
      if (input.size() - pos < 4) {
        error = fmt::format("record {}: {} byte(s) left, too few for a 4-byte length", number, input.size() - pos);
        return std::nullopt;
      }
      const auto* p = reinterpret_cast<const unsigned char*>(input.data() + pos);
      const std::size_t n = std::size_t{p[0]} << 24 | std::size_t{p[1]} << 16 | std::size_t{p[2]} << 8 | p[3];
      if (input.size() - pos - 4 < n) {
        error = fmt::format("record {}: length {} runs past the end of the input", number, n);
        return std::nullopt;
      }
      std::string bytes(input.substr(pos + 4, n));
      std::string b64 = base64_encode(bytes, Base64Alphabet::standard);
      packets.push_back({number, std::move(bytes), std::move(b64)});
      pos += 4 + n;
    }
    return packets;
  }
  for (const Line& line : content_lines(input)) {
    std::string_view text = line.text;
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    const auto bytes = format == PacketFormat::hex ? hex_decode(text) : base64_decode(text, Base64Alphabet::standard);
    if (!bytes) {
      error = fmt::format("line {}: not a packet in {}", line.number,
                          format == PacketFormat::hex ? "hexadecimal" : "standard Base64 (with \"=\" padding)");
      return std::nullopt;
    }
    std::string b64 = format == PacketFormat::hex ? base64_encode(*bytes, Base64Alphabet::standard) : std::string(text);
    packets.push_back({line.number, std::move(*bytes), std::move(b64)});
  }
  return packets;
}

void append_packet(std::string& out, std::string_view packet, PacketFormat format) {
  switch (format) {
    case PacketFormat::base64:
      out += base64_encode(packet, Base64Alphabet::standard);
      out += '\n';
      break;
    case PacketFormat::hex:
      out += hex_encode(packet);
      out += '\n';
      break;
    case PacketFormat::binary: {
      const auto n = static_cast<std::uint32_t>(packet.size());
      const char len[4] = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                           static_cast<char>(n)};
      out.append(len, 4);
      out += packet;
      break;
    }
  }
}

bool write_stdout(std::string_view data) {
  return std::fwrite(data.data(), 1, data.size(), stdout) == data.size() && std::fflush(stdout) == 0;
}

}  // namespace tavkin
