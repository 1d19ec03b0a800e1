// The gateway's reading of received packets; see gateway_outcome.h.
#include "gateway_outcome.h"

#include <fmt/format.h>

#include "json_text.h"
#include "velmarinthos_tavkin.h"

namespace tavkin {

std::string_view dead_reason_name(DeadReason reason) {
  switch (reason) {
    case DeadReason::unknown_template: return "unknown_template";
    case DeadReason::not_applicable: return "not_applicable";
    case DeadReason::state_mismatch: return "state_mismatch";
    case DeadReason::crc_mismatch: return "crc_mismatch";
    case DeadReason::malformed: return "malformed";
  }
  return "malformed";
}

std::string_view dead_reason_text(DeadReason reason) {
  switch (reason) {
    case DeadReason::unknown_template: return "no values of this template here: the device must send a full packet";
    case DeadReason::not_applicable: return "template cannot take this packet";
    case DeadReason::state_mismatch: return "state check does not hold: the device must send a full packet";
    case DeadReason::crc_mismatch: return "CRC16 mismatch";
    case DeadReason::malformed: return "not a packet that reads";
  }
  return "not a packet that reads";
}

std::optional<DeadReason> dead_reason_of(std::int32_t outcome) {
  switch (outcome) {
    case VM_RECEIVED:
    case VM_RECEIVE_ALREADY_APPLIED: return std::nullopt;
    case VM_RECEIVE_UNKNOWN_TEMPLATE: return DeadReason::unknown_template;
    case VM_RECEIVE_NOT_APPLICABLE: return DeadReason::not_applicable;
    case VM_RECEIVE_STATE_MISMATCH: return DeadReason::state_mismatch;
    case VM_RECEIVE_CRC_MISMATCH: return DeadReason::crc_mismatch;
    default: return DeadReason::malformed;
  }
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
