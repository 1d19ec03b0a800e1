// The context cache: one FusionState per context number (ctx_id; 0 and 1 name the same
// context), so successive requests of a context share templates in memory. A context idle
// for more than an hour is dropped, and when 2048 are held the least recently used one makes
// room. A context evicted while a request still works on it comes back as that same state,
// so one context never has two states at once. Thread-safe: a request takes the lock of one
// shard of the contexts, only for the lookup, and never while a state is locked.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "fusion/fusion_state.h"
#include "support/adaptive_mutex.h"
#include "support/keyed_hash.h"

namespace vm {

inline constexpr std::size_t CONTEXT_CACHE_MAX_ENTRIES = 2048;
inline constexpr std::uint64_t CONTEXT_IDLE_LIMIT_SECONDS = 3600;

// Whole seconds since the Unix epoch; 0 when the clock reads earlier.
[[nodiscard]] std::uint64_t wall_clock_seconds() noexcept;

class ContextCache {
 public:
  using Clock = std::function<std::uint64_t()>;

  explicit ContextCache(Clock clock = wall_clock_seconds);
  ContextCache(const ContextCache&) = delete;
  ContextCache& operator=(const ContextCache&) = delete;

  // The context's state, created empty when the context is new. First drops contexts idle
  // for more than CONTEXT_IDLE_LIMIT_SECONDS; a new context in a full cache evicts the least
  // recently used one; if a request still holds the evicted state, the next call for that
  // context gets it back instead of a fresh one. The state stays valid for the caller even
  // if it is dropped later.
  [[nodiscard]] FusionStatePtr state_for(std::uint64_t ctx_id);

  // The context's state when the cache holds it (or a request still holds it after its
  // eviction), else null. Never creates a context, and is no use of it.
  [[nodiscard]] FusionStatePtr find(std::uint64_t ctx_id);

  // Forgets the context: the next state_for gets a new empty state, while requests that
  // hold the old one finish on it. Whether the context was held.
  bool drop(std::uint64_t ctx_id);

  [[nodiscard]] std::size_t size() const;

 private:
  struct Slot {
    std::uint64_t ctx_id = 0;
    std::uint64_t last_used = 0;
    std::uint64_t use = 0;  // order of use: the least recently used entry has the smallest
    FusionStatePtr state;   // null: a free slot
  };

  // One shard of the contexts: a lock and an open-addressing table at most half full,
  // doubled as the shard fills. A request locks the one shard of its context, so requests
  // of contexts in different shards share no lock. (Two cores writing one line, even by a
  // single atomic add per request, cost ~100 ns a request on the machine measured.)
  struct alignas(64) Shard {
    mutable AdaptiveMutex lock;  // held a few dozen nanoseconds per call
    std::vector<Slot> slots;
    std::size_t size = 0;
    // States of this shard's contexts that were evicted while a request still held them;
    // swept of expired ones as it grows.
    KeyedMap<std::uint64_t, std::weak_ptr<FusionState>> evicted_in_use;
    std::size_t sweep_at = 64;
  };
  static constexpr std::size_t kShardBits = 4;

  // Locks every shard, in index order, for what concerns the cache as a whole: expiry and
  // room for a new context in a full cache. Never taken while one shard lock is held.
  class AllShards;

  [[nodiscard]] Shard& shard_of(std::uint64_t ctx_id) noexcept;
  // The slot of `ctx_id` in its shard, or the free slot where it would go.
  [[nodiscard]] static std::size_t slot_of(const Shard& shard, std::uint64_t ctx_id) noexcept;
  // The stamp of a call at `now`: never older than the newest one held, so that last_used
  // does not decrease in the order of use even when the clock steps back.
  [[nodiscard]] std::uint64_t next_stamp(std::uint64_t now) noexcept;
  // Refreshes (found) or adds the context in `shard`, whose lock is held; adding needs room
  // already counted in size_.
  FusionStatePtr touch(Shard& shard, std::size_t slot, std::uint64_t ctx_id, std::uint64_t stamp);
  void insert(Shard& shard, std::uint64_t ctx_id, std::uint64_t stamp);
  // Frees a slot, moving later entries of its probe run back so that lookups still find them.
  void remove(Shard& shard, std::size_t slot, std::vector<FusionStatePtr>& dropped);
  // With every shard locked: removes every entry idle for more than the limit at `now` into
  // `dropped`, and sets oldest_ to the smallest last_used left.
  void expire(std::uint64_t now, std::vector<FusionStatePtr>& dropped);
  // With every shard locked: removes the entry with the smallest (last_used, use). When a
  // request still holds its state, the shard remembers it, so that the context never has
  // two live states whose registries (and registry files) would drift apart.
  void evict_least_recent(std::vector<FusionStatePtr>& dropped);
  // The state a request still holds for an evicted ctx_id of `shard`, else a new empty one.
  [[nodiscard]] static FusionStatePtr take_in_use(Shard& shard, std::uint64_t ctx_id);

  Clock clock_;
  Shard shards_[std::size_t{1} << kShardBits];
  // Read by every call and written only when contexts come or go, or once a second: a call
  // that finds its context writes nothing that calls on other contexts touch.
  alignas(64) std::atomic<std::size_t> size_{0};
  std::atomic<std::uint64_t> newest_{0};  // the largest last_used held (meaningful when not empty)
  std::atomic<std::uint64_t> oldest_{0};  // at most the smallest last_used held
};

// The process-wide cache (created on first use, never destroyed) on the wall clock.
[[nodiscard]] FusionStatePtr context_state_for(std::uint64_t ctx_id);
// ContextCache::find and ContextCache::drop on the process-wide cache.
[[nodiscard]] FusionStatePtr find_context_state(std::uint64_t ctx_id);
bool drop_context(std::uint64_t ctx_id);

}  // namespace vm
