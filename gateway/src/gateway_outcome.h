// What the gateway makes of one received packet: a fact to publish, or a packet to
// dead-letter with its reason. The fact is the receiver's JSON with the gateway's members
// in front: device, partition, gateway, the dedup key and whether the broker redelivered
// the packet. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavkin {

enum class DeadReason { unknown_template, not_applicable, state_mismatch, crc_mismatch, malformed };

// The dead letter's "reason" header: "unknown_template", "not_applicable", ...
[[nodiscard]] std::string_view dead_reason_name(DeadReason reason);
// Its "error" header, for people.
[[nodiscard]] std::string_view dead_reason_text(DeadReason reason);

// The typed receive outcome (VM_RECEIVE_*) of a packet the gateway dead-letters; nullopt for
// VM_RECEIVED and VM_RECEIVE_ALREADY_APPLIED, which are not dead. An outcome the gateway
// does not know is malformed.
//   unknown template, state mismatch: the device must send a full packet
[[nodiscard]] std::optional<DeadReason> dead_reason_of(std::int32_t outcome);

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
