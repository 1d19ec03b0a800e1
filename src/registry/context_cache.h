// The context cache: one FusionState per context number (ctx_id; 0 and 1 name the same
// context), so successive requests of a context share templates in memory. A context idle
// for more than an hour is dropped, and when 2048 are held the least recently used one makes
// room. A context evicted while a request still works on it comes back as that same state,
// so one context never has two states at once. Thread-safe: one lock, held only for the
// lookup; never while a state is locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>

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
  // recently used one; if a request still holds the evicted state, the next call for that
  // context gets it back instead of a fresh one. The state stays valid for the caller even
  // if it is dropped later.
  [[nodiscard]] FusionStatePtr state_for(std::uint64_t ctx_id);

  [[nodiscard]] std::size_t size() const;

 private:
  struct Entry {
    std::uint64_t ctx_id;
    std::uint64_t last_used;
    FusionStatePtr state;
  };
  using Entries = std::list<Entry>;

  Clock clock_;
  mutable std::mutex lock_;
  // Least recently used first. last_used never decreases along the list: a stamp is never
  // older than the newest one already given, even when the clock steps back.
  Entries by_use_;
  std::unordered_map<std::uint64_t, Entries::iterator> by_id_;
  // Evicted states that requests still held at the time; swept of expired ones as it grows.
  std::unordered_map<std::uint64_t, std::weak_ptr<FusionState>> evicted_in_use_;
  std::size_t sweep_at_ = 64;

  void remember_in_use(std::uint64_t ctx_id, const FusionStatePtr& state);
  // The state a request still holds for an evicted ctx_id, else a new empty one.
  [[nodiscard]] FusionStatePtr take_in_use(std::uint64_t ctx_id);
};

// The process-wide cache (created on first use, never destroyed) on the wall clock.
[[nodiscard]] FusionStatePtr context_state_for(std::uint64_t ctx_id);

}  // namespace vm
