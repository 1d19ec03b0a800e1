#include "wire/packet_writer.h"

#include <cstring>

#include "wire/base64.h"
#include "wire/crc.h"

namespace vm {

std::optional<PacketTimestamp> read_packet_timestamp(std::string_view ts_text) {
  // Timestamp codes are 8 characters and decode on the stack; a longer text is decoded
  // whole too (it must be valid throughout), and only its first six bytes are used.
  PacketTimestamp ts{};
  if (ts_text.size() <= 80) {
    unsigned char decoded[64];
    if (decode_base64_into(ts_text, Base64::url, decoded) < 6) return std::nullopt;
    std::memcpy(ts.data(), decoded, ts.size());
  } else {
    std::string decoded;
    if (!decode_base64(ts_text, Base64::url, decoded) || decoded.size() < 6) return std::nullopt;
    std::memcpy(ts.data(), decoded.data(), ts.size());
  }
  return ts;
}

bool frame_packet(std::uint8_t command, DeviceId aid, TemplateId tid, const PacketTimestamp& ts,
                  std::string_view body, std::string& out, std::optional<std::uint8_t> check_byte) {
  if (raw(tid) > 0xFF) return false;
  // Sized once and written through a pointer: header, body, CRC-8, CRC-16.
  const std::size_t start = out.size();
  out.resize(start + kPacketOverhead + body.size());
  char* const packet = out.data() + start;
  const std::uint32_t a = raw(aid);
  packet[0] = static_cast<char>(command);
  packet[1] = 1;  // one hop: the sending device
  packet[2] = static_cast<char>(a >> 24);
  packet[3] = static_cast<char>(a >> 16);
  packet[4] = static_cast<char>(a >> 8);
  packet[5] = static_cast<char>(a);
  packet[6] = static_cast<char>(raw(tid));
  std::memcpy(packet + 7, ts.data(), ts.size());
  if (!body.empty()) std::memcpy(packet + 13, body.data(), body.size());
  char* w = packet + 13 + body.size();
  *w++ = static_cast<char>(check_byte ? *check_byte : body_crc8(as_bytes(body)));
  const std::uint16_t crc = packet_crc16(as_bytes(std::string_view(packet, static_cast<std::size_t>(w - packet))));
  *w++ = static_cast<char>(crc >> 8);
  *w = static_cast<char>(crc);
  return true;
}

bool build_packet(std::uint8_t command, DeviceId aid, TemplateId tid, std::string_view ts_text,
                  std::string_view body, std::string& out) {
  const std::optional<PacketTimestamp> ts = read_packet_timestamp(ts_text);
  return ts && frame_packet(command, aid, tid, *ts, body, out);
}

}  // namespace vm
