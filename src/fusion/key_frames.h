// Key frames: full packets a sender forces now and then, so that a receiver that lost a
// packet or its files gives wrong or no facts for a bounded time only. The rule is the
// sender's (every N packets of a device and/or T seconds on the caller's clock); the count
// is kept per device in the context, beside its templates, so that every sender of a
// context counts alike. No lock of its own: used under the lock of the owning context.
#pragma once

#include <cstdint>
#include <optional>

namespace vm {

struct KeyFrameRule {
  std::uint64_t every = 0;  // a device's packet travels whole once it sent every - 1 since its last full one; 0: off
  double seconds = 0;       // ... or once this many seconds passed since then; 0 (or less): off

  [[nodiscard]] bool enabled() const noexcept { return every != 0 || seconds > 0; }
};

// A device's packets since its last full one, and when that was. Absent until the device
// sends its first packet under a rule that is enabled.
struct KeyFrameCount {
  std::uint64_t since_full = 0;
  double last_full = 0;
};

// Whether the device's next packet, sent at `now`, must be a key frame. A device without a
// count yet is due only when every packet must be full (every == 1): the bound holds from
// its first packet on, even when its template is known already.
[[nodiscard]] bool key_frame_due(const KeyFrameRule& rule, const std::optional<KeyFrameCount>& count,
                                 double now) noexcept;

// Counts the device's packet sent at `now`, full or not. A first packet that is not full
// counts as one packet since a full one, so the next key frame comes no later than
// `every` packets from it, as it would after a full one.
void count_packet(const KeyFrameRule& rule, std::optional<KeyFrameCount>& count, bool full, double now) noexcept;

}  // namespace vm
