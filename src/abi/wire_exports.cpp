// C exports of the wire primitives: checksums, Base62, command codes, header parser.
#include <cstring>
#include <string_view>

#include "velmarinthos_tavkin.h"
#include "wire/base62.h"
#include "wire/command.h"
#include "wire/crc.h"
#include "wire/packet_header.h"

extern "C" uint16_t vm_crc16_ccitt_pub(const uint8_t* data, size_t len, uint16_t poly,
                                       uint16_t init) noexcept {
  if (data == nullptr || len == 0) return init;
  return vm::crc16({data, len}, poly, init);
}

extern "C" uint8_t vm_crc8(const uint8_t* data, size_t len, uint8_t poly, uint8_t init) noexcept {
  if (data == nullptr || len == 0) return init;
  return vm::crc8({data, len}, poly, init);
}

extern "C" int32_t vm_b62_encode_i64(int64_t value, char* buf, size_t cap) noexcept {
  if (buf == nullptr || cap < 2) return 0;
  char text[vm::kMaxBase62Length];
  const size_t n = vm::write_base62(value, text);
  if (n + 1 > cap) return 0;
  std::memcpy(buf, text, n);
  buf[n] = '\0';
  return 1;
}

extern "C" int64_t vm_b62_decode_i64(const char* text, int32_t* ok) noexcept {
  if (ok != nullptr) *ok = 0;
  if (text == nullptr) return 0;
  const auto value = vm::parse_base62_wrapping(std::string_view(text));
  if (!value) return 0;
  if (ok != nullptr) *ok = 1;
  return *value;
}

extern "C" int32_t vm_cmd_is_data(uint8_t cmd) noexcept { return vm::is_data_command(cmd) ? 1 : 0; }
extern "C" uint8_t vm_cmd_normalize_data(uint8_t cmd) noexcept { return vm::normalize_data_command(cmd); }
extern "C" uint8_t vm_cmd_secure_variant(uint8_t cmd) noexcept { return vm::secure_variant(cmd); }

extern "C" int32_t vm_parse_header_min(const uint8_t* packet, size_t len, uint64_t* out,
                                       size_t out_slots) noexcept {
  if (packet == nullptr || out == nullptr || out_slots < 9) return 0;
  const auto h = vm::parse_header({packet, len});
  if (!h) return 0;
  const uint64_t slots[9] = {h->cmd,        h->base_cmd,   h->secure ? 1u : 0u,
                             h->route_count, h->tid_offset, h->source_aid,
                             h->tid,        h->timestamp_raw, h->crc16_ok ? 1u : 0u};
  std::memcpy(out, slots, sizeof slots);
  return 1;
}
