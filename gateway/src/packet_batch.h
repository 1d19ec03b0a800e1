// Many packets in one broker message, for senders behind an edge gateway: one message
// costs the broker a replicated write whatever its size, so a batch of 64 costs what one
// packet does. A body is a batch when its first byte is 0xBA, which is not a data
// command, so a receiver that does not know batches refuses one as an unknown command
// instead of misreading it:
//
//   0xBA, version 0x01, packet count (LEB128), then per packet its length (LEB128) and bytes.
//
// Any other body is one packet. Pure functions over caller-owned bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavkin {

inline constexpr std::uint8_t kBatchMarker = 0xBA;
inline constexpr std::uint8_t kBatchVersion = 1;

[[nodiscard]] std::string frame_batch(std::span<const std::string_view> packets);

[[nodiscard]] inline bool is_batch(std::string_view body) {
  return !body.empty() && static_cast<std::uint8_t>(body[0]) == kBatchMarker;
}

struct BatchRead {
  std::vector<std::string_view> packets;  // into the body; those before any break
  bool complete = false;                  // every packet the count announced, and nothing after
  std::string error;                      // why not, when not complete
};

// The packets of a batch body (is_batch must hold). A batch that breaks gives the packets
// before the break, so that they can be decoded and only the rest refused.
[[nodiscard]] BatchRead read_batch(std::string_view body);

}  // namespace tavkin
