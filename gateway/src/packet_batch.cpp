#include "packet_batch.h"

#include <optional>

#include <fmt/format.h>

namespace tavkin {
namespace {

void put_varint(std::string& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>(0x80 | (value & 0x7F)));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

// At most 5 bytes (lengths and counts of a message fit 32 bits); nullopt when cut short or longer.
std::optional<std::uint32_t> take_varint(std::string_view& in) {
  std::uint64_t value = 0;
  for (int shift = 0; shift < 35 && !in.empty(); shift += 7) {
    const auto byte = static_cast<std::uint8_t>(in.front());
    in.remove_prefix(1);
    value |= std::uint64_t{byte & 0x7Fu} << shift;
    if ((byte & 0x80) == 0) {
      if (value > 0xFFFFFFFFu) return std::nullopt;
      return static_cast<std::uint32_t>(value);
    }
  }
  return std::nullopt;
}

}  // namespace

std::string frame_batch(std::span<const std::string_view> packets) {
  std::size_t size = 2 + 5;
  for (const auto p : packets) size += 5 + p.size();
  std::string out;
  out.reserve(size);
  out.push_back(static_cast<char>(kBatchMarker));
  out.push_back(static_cast<char>(kBatchVersion));
  put_varint(out, packets.size());
  for (const auto p : packets) {
    put_varint(out, p.size());
    out.append(p);
  }
  return out;
}

BatchRead read_batch(std::string_view body) {
  BatchRead read;
  if (body.size() < 2 || static_cast<std::uint8_t>(body[1]) != kBatchVersion) {
    read.error = body.size() < 2 ? "batch cut short before its version" : "unknown batch version";
    return read;
  }
  body.remove_prefix(2);
  const auto count = take_varint(body);
  if (!count) {
    read.error = "batch count does not read";
    return read;
  }
  // Each packet takes at least its length byte, so a count beyond the body is a lie.
  read.packets.reserve(std::min<std::size_t>(*count, body.size()));
  for (std::uint32_t i = 0; i < *count; ++i) {
    const auto length = take_varint(body);
    if (!length || *length > body.size()) {
      read.error = fmt::format("batch breaks at packet {} of {}", i + 1, *count);
      return read;
    }
    read.packets.push_back(body.substr(0, *length));
    body.remove_prefix(*length);
  }
  if (!body.empty()) {
    read.error = fmt::format("{} bytes after the batch's {} packets", body.size(), *count);
    return read;
  }
  read.complete = true;
  return read;
}

}  // namespace tavkin
