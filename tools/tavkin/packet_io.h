// Packets and lines on standard streams: splitting input into numbered lines, reading
// packets in the three formats the tool speaks (Base64 lines, hex lines, length-prefixed
// binary records) and writing them. Single-threaded; writers buffer through stdio.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"

namespace tavkin {

struct Line {
  std::size_t number;  // from 1
  std::string_view text;  // without its line break (and without a "\r" before it)
};

// The whole of standard input (binary-safe).
[[nodiscard]] std::string read_stdin();

// Lines of `input`, skipping those that are empty or only white space.
[[nodiscard]] std::vector<Line> content_lines(std::string_view input);

struct InputPacket {
  std::size_t number;  // line number, or record number for binary input
  std::string bytes;
  std::string base64;  // the standard Base64 text of bytes
};

// All packets of `input`, or the first problem found ("line 3: ...").
[[nodiscard]] std::optional<std::vector<InputPacket>> read_packets(std::string_view input, PacketFormat format,
                                                                   std::string& error);

// Appends one packet in `format`: a text line, or a 4-byte big-endian length and bytes.
void append_packet(std::string& out, std::string_view packet, PacketFormat format);

// Writes `data` to stdout; false (with errno set) when the stream fails.
[[nodiscard]] bool write_stdout(std::string_view data);

}  // namespace tavkin
