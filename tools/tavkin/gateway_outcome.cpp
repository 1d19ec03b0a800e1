// The gateway's reading of decompress answers; see gateway_outcome.h.
#include "gateway_outcome.h"

#include <fmt/format.h>

#include "json_text.h"
#include "library.h"

namespace tavkin {

std::string_view dead_reason_name(DeadReason reason) {
  switch (reason) {
    case DeadReason::unknown_template: return "unknown_template";
    case DeadReason::state_mismatch: return "state_mismatch";
    case DeadReason::crc_mismatch: return "crc_mismatch";
    case DeadReason::malformed: return "malformed";
  }
  return "malformed";
}

std::optional<DeadReason> classify_answer(std::string_view answer, std::string& error) {
  if (answer.empty()) {
    error = "no answer";
    return DeadReason::malformed;
  }
  const std::optional<std::string> found = answer_error(answer);
  if (!found) return std::nullopt;
  error = *found;
  if (error == "fusion_receive_apply_failed") return DeadReason::unknown_template;
  if (error == "state_mismatch") return DeadReason::state_mismatch;
  if (error == "CRC16 mismatch") return DeadReason::crc_mismatch;
  return DeadReason::malformed;
}

std::string dedup_key(std::uint32_t aid, std::uint8_t tid, std::uint64_t timestamp_raw) {
  return fmt::format("{}:{}:{}", aid, tid, timestamp_raw);
}

std::string fact_message(std::string_view answer, const FactOrigin& origin) {
  std::string out;
  out.reserve(answer.size() + 128);
  out += "{\"device\":";
  out += std::to_string(origin.device);
  out += ",\"partition\":";
  out += std::to_string(origin.partition);
  out += ",\"gateway\":";
  append_json_string(out, origin.gateway);
  out += ",\"dedup_key\":";
  append_json_string(out, origin.dedup_key);
  out += origin.redelivered ? ",\"redelivered\":true" : ",\"redelivered\":false";
  const std::string_view members = answer.substr(1);  // after the answer's "{"
  if (members != "}") out += ',';
  out += members;
  return out;
}

}  // namespace tavkin
