#include "pipeline/packet_writer.h"

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

  const std::size_t start = out.size();
  out.resize(start + 13);
  char* h = out.data() + start;
  const std::uint32_t a = raw(aid);
  h[0] = static_cast<char>(command);
  h[1] = 1;  // one hop: the sending device
  h[2] = static_cast<char>(a >> 24);
  h[3] = static_cast<char>(a >> 16);
  h[4] = static_cast<char>(a >> 8);
  h[5] = static_cast<char>(a);
  h[6] = static_cast<char>(raw(tid));
  for (int i = 0; i < 6; ++i) h[7 + i] = static_cast<char>(ts[i]);
  out.append(body);
  out.push_back(static_cast<char>(body_crc8(as_bytes(body))));
  const std::uint16_t crc = packet_crc16(as_bytes(std::string_view(out).substr(start)));
  out.push_back(static_cast<char>(crc >> 8));
  out.push_back(static_cast<char>(crc));
  return true;
}

}  // namespace vm
