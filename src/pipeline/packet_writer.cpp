#include "pipeline/packet_writer.h"

#include <cstring>

#include "wire/base64.h"
#include "wire/crc.h"

namespace vm {

bool build_packet(std::uint8_t command, DeviceId aid, TemplateId tid, std::string_view ts_text,
                  std::string_view body, std::string& out) {
  if (raw(tid) > 0xFF) return false;
  // Timestamp codes are 8 characters and decode on the stack; a longer text is decoded
  // whole too (it must be valid throughout), and only its first six bytes are used.
  unsigned char short_ts[64];
  const unsigned char* ts = short_ts;
  if (ts_text.size() <= 80) {
    if (decode_base64_into(ts_text, Base64::url, short_ts) < 6) return false;
  } else {
    thread_local std::string long_ts;
    long_ts.clear();
    if (!decode_base64(ts_text, Base64::url, long_ts) || long_ts.size() < 6) return false;
    ts = reinterpret_cast<const unsigned char*>(long_ts.data());
  }

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
  std::memcpy(packet + 7, ts, 6);
  if (!body.empty()) std::memcpy(packet + 13, body.data(), body.size());
  char* w = packet + 13 + body.size();
  *w++ = static_cast<char>(body_crc8(as_bytes(body)));
  const std::uint16_t crc = packet_crc16(as_bytes(std::string_view(packet, static_cast<std::size_t>(w - packet))));
  *w++ = static_cast<char>(crc >> 8);
  *w = static_cast<char>(crc);
  return true;
}

}  // namespace vm
