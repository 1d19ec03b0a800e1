// A process-wide table of shared objects by 64-bit handle, for the objects that C hosts
// hold by number (compressors, fusion states). Handles count up from a first value, one
// per insertion, and are never reused, so a stale handle finds nothing instead of another
// object. Thread-safe: one mutex, held only for a single insertion, removal or lookup;
// references leave or enter the table with the lock released, so no destructor runs under
// it. Callers keep the table in a never-destroyed static, as a host thread may still call
// while the process exits.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace vm {

template <typename T>
class HandleTable {
 public:
  explicit HandleTable(std::uint64_t first_handle) : next_handle_(first_handle) {}

  // Registers `object` under a new handle and returns the handle.
  [[nodiscard]] std::uint64_t insert(std::shared_ptr<T> object) {
    const std::uint64_t handle = next_handle_.fetch_add(1, std::memory_order_relaxed);
    {
      const std::lock_guard lock(mutex_);
      std::swap(objects_[handle], object);
    }
    return handle;  // `object` now holds what the slot held: nothing, as handles are never reused
  }

  // Removes the handle; false when it is 0 or not registered. Holders of a reference keep
  // the object alive until they let go.
  [[nodiscard]] bool erase(std::uint64_t handle) {
    if (handle == 0) return false;
    typename Map::node_type removed;
    {
      const std::lock_guard lock(mutex_);
      removed = objects_.extract(handle);
    }
    return !removed.empty();  // the table's reference is dropped here, outside the lock
  }

  // A new shared reference to the object registered under `handle`, or null.
  [[nodiscard]] std::shared_ptr<T> find(std::uint64_t handle) const {
    if (handle == 0) return nullptr;
    const std::lock_guard lock(mutex_);
    const auto it = objects_.find(handle);
    return it == objects_.end() ? nullptr : it->second;
  }

 private:
  using Map = std::unordered_map<std::uint64_t, std::shared_ptr<T>>;

  std::atomic<std::uint64_t> next_handle_;
  mutable std::mutex mutex_;
  Map objects_;
};

}  // namespace vm
