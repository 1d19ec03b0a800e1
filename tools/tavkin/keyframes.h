// Key frames: a full packet forced now and then per device, so that a receiver that lost
// a packet or its files gives wrong or no facts for a bounded time only. Counted in
// packets (every N-th packet of a device since its last full one) and/or in seconds since
// its last full packet, on a clock the caller supplies. Off when both are 0. One thread.
#pragma once

#include <cstdint>
#include <unordered_map>

namespace tavkin {

struct KeyframePolicy {
  std::uint64_t every = 0;    // packets; 0: not by count
  double seconds = 0;         // 0: not by time
};

class KeyframeSchedule {
 public:
  explicit KeyframeSchedule(KeyframePolicy policy) : policy_(policy) {}

  // Whether the device's next packet must be full, at time `now` (seconds).
  [[nodiscard]] bool due(std::uint32_t aid, double now) const;

  // Records the device's packet sent at `now`; `full`: it was a full packet (forced or not).
  void sent(std::uint32_t aid, bool full, double now);

 private:
  struct Device {
    std::uint64_t since_full = 0;  // packets after the last full one
    double last_full = 0;
  };
  KeyframePolicy policy_;
  std::unordered_map<std::uint32_t, Device> devices_;
};

}  // namespace tavkin
