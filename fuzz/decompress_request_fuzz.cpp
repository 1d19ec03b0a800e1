// Decompress requests through vm_fusion_decompress_json_v1. An input that starts like JSON
// is sent as it is (registry roots outside the working directory are skipped); any other
// input is a packet: its first byte picks the context and options (bit 0 repairs the
// CRC-16 trailer so the fuzzer gets past it, bits 1-2 the context of the current block of
// inputs, bit 3 a registry root, bit 4 requires state checks)
// and the rest is wrapped in Base64 inside a request. Oracles: every answer is a JSON
// object; a packet's answer reports its header as the packet holds it.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "velmarinthos_tavkin.h"

namespace {

bool looks_like_json(std::uint8_t first) {
  return first == '{' || first == '[' || first == ' ' || first == '\t' || first == '\n' || first == '\r';
}

std::uint64_t read_be(std::string_view b, std::size_t at, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v = (v << 8) | static_cast<std::uint8_t>(b[at + i]);
  return v;
}

std::uint64_t member(simdjson::dom::element meta, const char* key) {
  std::uint64_t v = 0;
  bool b = false;
  if (meta[key].get_uint64().get(v) == simdjson::SUCCESS) return v;
  FUZZ_CHECK(meta[key].get_bool().get(b) == simdjson::SUCCESS);
  return b ? 1 : 0;
}

// The header summary of a packet that passed the length checks.
void check_meta(simdjson::dom::element answer, std::string_view p) {
  simdjson::dom::element meta;
  FUZZ_CHECK(answer["__packet_meta__"].get(meta) == simdjson::SUCCESS);
  const std::size_t c = static_cast<std::uint8_t>(p[1]);
  const auto cmd = static_cast<std::uint8_t>(p[0]);
  const bool secure = cmd == 64 || cmd == 128 || cmd == 171;
  FUZZ_CHECK(member(meta, "cmd") == cmd);
  FUZZ_CHECK(member(meta, "base_cmd") == (secure ? cmd - 1u : cmd));
  FUZZ_CHECK(member(meta, "secure") == (secure ? 1u : 0u));
  FUZZ_CHECK(member(meta, "source_aid") == (c == 0 ? 0 : read_be(p, 4 * c - 2, 4)));
  FUZZ_CHECK(member(meta, "tid") == static_cast<std::uint8_t>(p[2 + 4 * c]));
  FUZZ_CHECK(member(meta, "timestamp_raw") == read_be(p, 3 + 4 * c, 6));
  FUZZ_CHECK(member(meta, "crc16_ok") == (fuzz::crc16(p.substr(0, p.size() - 2)) == read_be(p, p.size() - 2, 2)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string request;
  std::string packet;
  if (looks_like_json(data[0])) {
    request.assign(fuzz::text_of(data, size));
    if (!fuzz::request_is_sandboxed(request, 2)) return 0;
  } else {
    const std::uint8_t options = data[0];
    packet.assign(fuzz::text_of(data + 1, size - 1));
    if ((options & 1) && packet.size() >= 2) {
      const std::uint16_t crc = fuzz::crc16(std::string_view(packet).substr(0, packet.size() - 2));
      packet[packet.size() - 2] = static_cast<char>(crc >> 8);
      packet[packet.size() - 1] = static_cast<char>(crc);
    }
    const std::uint64_t block = fuzz::block_of_inputs();
    request = "{\"ctx_id\":" + std::to_string(9001 + 4 * block + (options >> 1 & 3)) + ",\"packet_b64\":\"" +
              fuzz::base64(packet) + "\"" +
              ((options & 8) ? ",\"registry_root\":\"registry-" + std::to_string(block) + "\"" : "") +
              ((options & 16) ? ",\"state_check\":true" : "") + "}";
  }

  static std::string out(1 << 20, '\0');
  const std::int32_t n = vm_fusion_decompress_json_v1(fuzz::bytes_of(request), request.size(),
                                                      reinterpret_cast<std::uint8_t*>(out.data()), out.size());
  FUZZ_CHECK(n != 0);
  if (n < 0) return 0;  // larger than the buffer: nothing to look at
  static simdjson::dom::parser parser;
  simdjson::dom::element answer;
  FUZZ_CHECK(parser.parse(out.data(), static_cast<std::size_t>(n)).get(answer) == simdjson::SUCCESS);
  FUZZ_CHECK(answer.is_object());
  if (!packet.empty() && packet.size() >= 12 && packet.size() >= 12 + 4 * std::size_t{static_cast<std::uint8_t>(packet[1])}) {
    std::string_view error;
    if (answer["error"].get(error) == simdjson::SUCCESS && error != "CRC16 mismatch" && error != "state_mismatch")
      return 0;
    check_meta(answer, packet);
  }
  return 0;
}
