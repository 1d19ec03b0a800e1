// Counts per device for an unbounded fleet kept to a bounded label set: the `capacity`
// devices counted most recently keep counts of their own, and a device that leaves them
// adds its count to `other`. The total never decreases; a device that comes back starts
// again from its new counts (to a metrics scraper, a counter reset). Devices that need a
// full packet are the recent ones, which is what operators look for. Single-threaded: its
// owner's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavkin {

class RecentDevices {
 public:
  struct Entry {
    std::uint32_t device = 0;
    std::uint64_t count = 0;
    std::uint64_t last_counted = 0;  // order of the most recent add, for eviction
  };

  explicit RecentDevices(std::size_t capacity) : capacity_(capacity) {}

  void add(std::uint32_t device, std::uint64_t n = 1);

  // The devices with counts of their own, in ascending device order.
  [[nodiscard]] std::vector<Entry> devices() const;
  [[nodiscard]] std::uint64_t other() const { return other_; }
  [[nodiscard]] std::uint64_t total() const { return total_; }
  [[nodiscard]] std::size_t capacity() const { return capacity_; }

 private:
  std::size_t capacity_;
  std::vector<Entry> entries_;  // at most capacity_; small enough to search in order
  std::uint64_t other_ = 0;
  std::uint64_t total_ = 0;
  std::uint64_t adds_ = 0;
};

}  // namespace tavkin
