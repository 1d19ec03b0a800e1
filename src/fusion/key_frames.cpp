#include "fusion/key_frames.h"

namespace vm {

bool key_frame_due(const KeyFrameRule& rule, const std::optional<KeyFrameCount>& count, double now) noexcept {
  if (!rule.enabled()) return false;
  if (!count) return rule.every == 1;
  return (rule.every != 0 && count->since_full + 1 >= rule.every) ||
         (rule.seconds > 0 && now - count->last_full >= rule.seconds);
}

void count_packet(const KeyFrameRule& rule, std::optional<KeyFrameCount>& count, bool full, double now) noexcept {
  if (!rule.enabled()) return;
  if (full) {
    count = KeyFrameCount{0, now};
  } else if (count) {
    ++count->since_full;
  } else {
    count = KeyFrameCount{1, now};
  }
}

}  // namespace vm
