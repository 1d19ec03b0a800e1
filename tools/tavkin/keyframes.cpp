#include "keyframes.h"

namespace tavkin {

bool KeyframeSchedule::due(std::uint32_t aid, double now) const {
  const auto it = devices_.find(aid);
  // A device's first packet is full anyway (or the receiver knows it from its files).
  if (it == devices_.end()) return false;
  const Device& d = it->second;
  if (policy_.every > 0 && d.since_full + 1 >= policy_.every) return true;
  return policy_.seconds > 0 && now - d.last_full >= policy_.seconds;
}

void KeyframeSchedule::sent(std::uint32_t aid, bool full, double now) {
  auto [it, inserted] = devices_.try_emplace(aid);
  Device& d = it->second;
  if (full || inserted) {
    d.since_full = 0;
    d.last_full = now;
  } else {
    ++d.since_full;
  }
}

}  // namespace tavkin
