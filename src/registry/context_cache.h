// The context cache: one FusionState per context number (ctx_id; 0 and 1 name the same
// context), so successive requests of a context share templates in memory. A context idle
// for more than an hour is dropped, and when 2048 are held the least recently used one makes
// room. Thread-safe: one lock, held only for the lookup; never while a state is locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "fusion/fusion_state.h"

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
  // recently used one. The state stays valid for the caller even if it is dropped later.
  [[nodiscard]] FusionStatePtr state_for(std::uint64_t ctx_id);

  [[nodiscard]] std::size_t size() const;

 private:
  struct Slot {
    std::uint64_t ctx_id = 0;
    std::uint64_t last_used = 0;
    std::uint64_t use = 0;  // order of use: the least recently used entry has the smallest
    FusionStatePtr state;   // null: a free slot
  };

  // The slot of `ctx_id`, or the free slot where it would go.
  [[nodiscard]] std::size_t slot_of(std::uint64_t ctx_id) const noexcept;
  // Frees a slot, moving later entries of its probe run back so that lookups still find them.
  void remove(std::size_t slot, std::vector<FusionStatePtr>& dropped);
  // Removes every entry idle for more than the limit at `now` into `dropped`, and sets
  // oldest_ to the smallest last_used left.
  void expire(std::uint64_t now, std::vector<FusionStatePtr>& dropped);

  Clock clock_;
  mutable std::mutex lock_;
  // An open-addressing table, twice the size of a full cache, so that a lookup reads one
  // slot where a node-based map reads a bucket and a node. last_used never decreases in the
  // order of use (a stamp is never older than the newest one held, even when the clock
  // steps back), so the least recently used entry is also one with the smallest last_used;
  // it is searched for only when a new context meets a full table. Expiry scans the table
  // only when oldest_, a lower bound of every last_used, shows that an entry may be idle too long.
  std::vector<Slot> slots_;
  std::size_t size_ = 0;
  std::uint64_t newest_ = 0;  // the largest last_used held (meaningful when not empty)
  std::uint64_t oldest_ = 0;  // at most the smallest last_used held
  std::uint64_t uses_ = 0;
};

// The process-wide cache (created on first use, never destroyed) on the wall clock.
[[nodiscard]] FusionStatePtr context_state_for(std::uint64_t ctx_id);

}  // namespace vm
