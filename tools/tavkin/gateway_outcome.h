// What the gateway makes of one decompress answer: a fact to publish, or a packet to
// dead-letter with its reason. The fact is the receiver's JSON with the gateway's members
// in front: device, partition, gateway, the dedup key and whether the broker redelivered
// the packet. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavkin {

enum class DeadReason { unknown_template, state_mismatch, crc_mismatch, malformed };

[[nodiscard]] std::string_view dead_reason_name(DeadReason reason);

// The decompress answer's error classified; nullopt for a fact.
//   "fusion_receive_apply_failed"  -> unknown_template (the device must send a full packet)
//   "state_mismatch"               -> state_mismatch (the template here is not the sender's:
//                                     the device must send a full packet)
//   "CRC16 mismatch"               -> crc_mismatch
//   any other error, or no answer  -> malformed
[[nodiscard]] std::optional<DeadReason> classify_answer(std::string_view answer, std::string& error);

// What identifies a fact whatever route it took: "device:template:timestamp".
[[nodiscard]] std::string dedup_key(std::uint32_t aid, std::uint8_t tid, std::uint64_t timestamp_raw);

struct FactOrigin {
  std::uint32_t device = 0;
  std::uint32_t partition = 0;
  std::string_view gateway;
  std::string_view dedup_key;
  bool redelivered = false;
};

// The published fact: {"device":..,"partition":..,"gateway":"..","dedup_key":"..",
// "redelivered":..,<the answer's members>}. `answer` is a JSON object.
[[nodiscard]] std::string fact_message(std::string_view answer, const FactOrigin& origin);

}  // namespace tavkin
