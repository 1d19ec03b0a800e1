// Run requests through vm_fusion_run_json_v1 (and its relay name). An input that starts
// like JSON is sent as it is (registry roots outside the working directory are skipped);
// any other input is a compact text: its first byte picks the options (bits 0-1 the
// context, bit 2 strategy "full", bit 3 a registry root, bit 4 a src_aid taken from the next
// four bytes, bit 5 the relay name) and the rest becomes raw_input. Oracles: the answer is
// an error text or a well-framed one-hop packet; a full packet carries raw_input whole.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "velmarinthos_tavkin.h"

namespace {

bool looks_like_json(std::uint8_t first) {
  return first == '{' || first == '[' || first == ' ' || first == '\t' || first == '\n' || first == '\r';
}

std::uint8_t crc8(std::string_view bytes) {
  std::uint8_t crc = 0;
  for (char c : bytes) {
    crc ^= static_cast<std::uint8_t>(c);
    for (int i = 0; i < 8; ++i) crc = (crc & 0x80) ? static_cast<std::uint8_t>((crc << 1) ^ 0x07) : static_cast<std::uint8_t>(crc << 1);
  }
  return crc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string request;
  std::string raw_input;
  bool known_input = false;
  bool relay = false;
  if (looks_like_json(data[0])) {
    request.assign(fuzz::text_of(data, size));
    if (!fuzz::request_is_sandboxed(request, 4)) return 0;
  } else {
    fuzz::Cursor in(data, size);
    const std::uint8_t options = in.byte();
    const std::uint64_t block = fuzz::block_of_inputs();
    std::string extra;
    if (options & 16) extra += ",\"src_aid\":" + std::to_string(in.u32());
    if (options & 4) extra += ",\"strategy\":\"full\"";
    if (options & 8) extra += ",\"registry_root\":\"registry-" + std::to_string(block) + "\"";
    relay = (options & 32) != 0;
    raw_input.assign(in.rest());
    known_input = fuzz::utf8_ok(raw_input);
    request = "{\"ctx_id\":" + std::to_string(7001 + 4 * block + (options & 3)) +
              ",\"raw_input\":" + fuzz::json_string(raw_input) + extra + "}";
  }

  static std::string out(1 << 20, '\0');
  const auto call = relay ? vm_fusion_relay_json_v1 : vm_fusion_run_json_v1;
  const std::int32_t n = call(fuzz::bytes_of(request), request.size(), reinterpret_cast<std::uint8_t*>(out.data()), out.size());
  if (n <= 0) return 0;  // no packet, or larger than the buffer
  const std::string_view answer(out.data(), static_cast<std::size_t>(n));
  if (answer == R"({"error":"invalid_json"})" || answer == R"({"error":"auto_decompose_failed"})") {
    FUZZ_CHECK(!known_input || answer != R"({"error":"invalid_json"})");
    return 0;
  }
  FUZZ_CHECK(answer.size() >= 16);
  const auto cmd = static_cast<std::uint8_t>(answer[0]);
  FUZZ_CHECK(cmd == 63 || cmd == 127 || cmd == 170);
  FUZZ_CHECK(answer[1] == 1);
  const std::string_view body = answer.substr(13, answer.size() - 16);
  FUZZ_CHECK(static_cast<std::uint8_t>(answer[answer.size() - 3]) == crc8(body));
  const std::uint16_t trailer = static_cast<std::uint16_t>(static_cast<std::uint8_t>(answer[answer.size() - 2]) << 8 |
                                                           static_cast<std::uint8_t>(answer[answer.size() - 1]));
  FUZZ_CHECK(fuzz::crc16(answer.substr(0, answer.size() - 2)) == trailer);
  if (known_input && cmd == 63) FUZZ_CHECK(body == raw_input);
  if (cmd == 127) FUZZ_CHECK(body.empty());
  return 0;
}
