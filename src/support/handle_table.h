// A process-wide table of shared objects by 64-bit handle, for the objects that C hosts
// hold by number (compressors, fusion states). Each kind of object has its own handle
// type, an enum over the number, so a handle of one kind cannot be passed where another
// is meant; the C exports convert at the boundary. Handles count up from a first value, one
// per insertion, and are never reused, so a stale handle finds nothing instead of another
// object. Thread-safe: one mutex, held only for a single insertion, removal or lookup;
// references leave or enter the table with the lock released, so no destructor runs under
// it. Callers keep the table in a never-destroyed static, as a host thread may still call
// while the process exits.
#pragma once

#include <atomic>
#include <concepts>
#include <cstdint>
#include <memory>
#include <mutex>
#include <type_traits>
#include <unordered_map>
#include <utility>

namespace vm {

// A handle type: a scoped enum over the 64-bit handle number.
template <typename H>
concept HandleType = std::is_enum_v<H> && !std::is_convertible_v<H, std::uint64_t> &&
                     std::same_as<std::underlying_type_t<H>, std::uint64_t>;

// The number a handle carries, as C hosts see it.
template <HandleType H>
[[nodiscard]] constexpr std::uint64_t handle_number(H handle) noexcept {
  return static_cast<std::uint64_t>(handle);
}

template <typename T, HandleType Handle>
class HandleTable {
 public:
  explicit HandleTable(Handle first_handle) : next_handle_(handle_number(first_handle)) {}

  // Registers `object` under a new handle and returns the handle.
  [[nodiscard]] Handle insert(std::shared_ptr<T> object) {
    const std::uint64_t handle = next_handle_.fetch_add(1, std::memory_order_relaxed);
    {
      const std::lock_guard lock(mutex_);
      std::swap(objects_[handle], object);
    }
    return Handle{handle};  // `object` now holds what the slot held: nothing, as handles are never reused
  }

  // Removes the handle; false when it is 0 or not registered. Holders of a reference keep
  // the object alive until they let go.
  [[nodiscard]] bool erase(Handle handle) {
    if (handle_number(handle) == 0) return false;
    typename Map::node_type removed;
    {
      const std::lock_guard lock(mutex_);
      removed = objects_.extract(handle_number(handle));
    }
    return !removed.empty();  // the table's reference is dropped here, outside the lock
  }

  // A new shared reference to the object registered under `handle`, or null.
  [[nodiscard]] std::shared_ptr<T> find(Handle handle) const {
    if (handle_number(handle) == 0) return nullptr;
    const std::lock_guard lock(mutex_);
    const auto it = objects_.find(handle_number(handle));
    return it == objects_.end() ? nullptr : it->second;
  }

 private:
  using Map = std::unordered_map<std::uint64_t, std::shared_ptr<T>>;

  std::atomic<std::uint64_t> next_handle_;
  mutable std::mutex mutex_;
  Map objects_;
};

}  // namespace vm
