// Counts per device for the most recent devices; see recent_devices.h.
#include "recent_devices.h"

#include <algorithm>

namespace tavkin {

void RecentDevices::add(std::uint32_t device, std::uint64_t n) {
  total_ += n;
  ++adds_;
  auto it = std::find_if(entries_.begin(), entries_.end(), [device](const Entry& e) { return e.device == device; });
  if (it == entries_.end()) {
    if (capacity_ == 0) {
      other_ += n;
      return;
    }
    if (entries_.size() < capacity_) {
      it = entries_.insert(entries_.end(), Entry{device, 0, 0});
    } else {
      it = std::min_element(entries_.begin(), entries_.end(),
                            [](const Entry& a, const Entry& b) { return a.last_counted < b.last_counted; });
      other_ += it->count;
      *it = Entry{device, 0, 0};
    }
  }
  it->count += n;
  it->last_counted = adds_;
}

std::vector<RecentDevices::Entry> RecentDevices::devices() const {
  std::vector<Entry> sorted = entries_;
  std::sort(sorted.begin(), sorted.end(), [](const Entry& a, const Entry& b) { return a.device < b.device; });
  return sorted;
}

}  // namespace tavkin
