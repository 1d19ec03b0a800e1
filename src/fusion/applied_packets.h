// The packets lately applied to a device, remembered by digest so that a packet delivered
// again (a broker redelivers what a crashed host had applied and saved) is recognised
// instead of being applied twice. A fixed window: the newest digests replace the oldest.
// Digests are kept in the device's registry file, so they must mean the same in every
// process: a fixed key, unlike the per-process keys of keyed_hash.h. No lock of its own:
// reached under the lock of the registry that owns the device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace vm {

inline constexpr std::size_t kAppliedPacketWindow = 64;

// SipHash-2-4 of the packet's bytes under a fixed key. Not a secret: a sender that can
// forge a colliding packet can as well send the packet it would collide with.
[[nodiscard]] std::uint64_t packet_digest(std::string_view packet) noexcept;

class AppliedPackets {
 public:
  [[nodiscard]] bool contains(std::uint64_t digest) const noexcept;
  // Remembers `digest`, forgetting the oldest one when the window is full.
  void add(std::uint64_t digest);
  [[nodiscard]] bool empty() const noexcept { return digests_.empty(); }
  // The digests from the oldest to the newest.
  void append_oldest_first(std::vector<std::uint64_t>& out) const;
  // Replaces the window with `digests` given oldest first; of more than the window holds,
  // the newest ones are kept.
  void assign_oldest_first(std::span<const std::uint64_t> digests);

 private:
  std::vector<std::uint64_t> digests_;  // a ring once full; oldest at next_
  std::size_t next_ = 0;
};

}  // namespace vm
