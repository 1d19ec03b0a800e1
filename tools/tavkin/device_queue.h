// Per-device order for the gateway: at most one item per device is being worked on; the
// device's later items wait, in arrival order, until it is released. Items of other
// devices pass freely. Single-threaded.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <unordered_map>
#include <utility>

namespace tavkin {

template <typename Item>
class DeviceQueue {
 public:
  // The item back when its device is free (the device is then busy until released);
  // nullopt when the item waits behind the device's item in work.
  [[nodiscard]] std::optional<Item> admit(std::uint32_t device, Item item) {
    auto [it, free] = waiting_.try_emplace(device);
    if (free) return item;
    it->second.push_back(std::move(item));
    ++waiting_count_;
    return std::nullopt;
  }

  // The device's item in work is done: its next waiting item, which is now in work, or
  // nullopt (the device is then free).
  [[nodiscard]] std::optional<Item> release(std::uint32_t device) {
    auto it = waiting_.find(device);
    if (it == waiting_.end()) return std::nullopt;
    if (it->second.empty()) {
      waiting_.erase(it);
      return std::nullopt;
    }
    Item next = std::move(it->second.front());
    it->second.pop_front();
    --waiting_count_;
    return next;
  }

  [[nodiscard]] std::size_t waiting() const { return waiting_count_; }
  void clear() {
    waiting_.clear();
    waiting_count_ = 0;
  }

 private:
  // A device is busy while it has an entry; the entry holds the items behind it.
  std::unordered_map<std::uint32_t, std::deque<Item>> waiting_;
  std::size_t waiting_count_ = 0;
};

}  // namespace tavkin
