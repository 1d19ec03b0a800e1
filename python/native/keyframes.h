// Periodic key frames of a sender: a device's packet is forced to travel whole once it has
// sent `every` - 1 packets since its last full one, or once `seconds` have passed since
// then, so a receiver that lost a packet or its state gives wrong or no facts for a
// bounded time. Off when both are 0. Used with the lock of the sender's context held (the
// one lock every call of a sender takes), so calls from several threads stay consistent.
#pragma once

#include <cstdint>
#include <unordered_map>

namespace vm::py {

class KeyFrames {
 public:
  KeyFrames(std::uint64_t every, double seconds) noexcept : every_(every), seconds_(seconds) {}

  [[nodiscard]] bool enabled() const noexcept { return every_ != 0 || seconds_ > 0; }

  // Whether the next packet of `aid`, sent at `now` (seconds), must be full.
  [[nodiscard]] bool due(std::uint32_t aid, double now) const {
    if (!enabled()) return false;
    const auto it = devices_.find(aid);
    if (it == devices_.end()) return every_ == 1;
    const Device& d = it->second;
    return (every_ != 0 && d.since_full + 1 >= every_) || (seconds_ > 0 && now - d.last_full >= seconds_);
  }

  // Notes the packet sent for `aid` at `now`.
  void sent(std::uint32_t aid, bool full, double now) {
    if (!enabled()) return;
    auto [it, added] = devices_.try_emplace(aid, Device{0, now});
    Device& d = it->second;
    if (full) {
      d.since_full = 0;
      d.last_full = now;
    } else if (!added) {
      ++d.since_full;
    } else {
      d.since_full = 1;  // its first packet here counts from now
    }
  }

 private:
  struct Device {
    std::uint64_t since_full;  // packets since the last full one
    double last_full;          // when that was (or the first packet seen)
  };

  std::uint64_t every_;
  double seconds_;
  std::unordered_map<std::uint32_t, Device> devices_;
};

}  // namespace vm::py
