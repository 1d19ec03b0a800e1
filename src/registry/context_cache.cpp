#include "registry/context_cache.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace vm {

std::uint64_t wall_clock_seconds() noexcept {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
  return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

ContextCache::ContextCache(Clock clock) : clock_(std::move(clock)) {}

FusionStatePtr ContextCache::state_for(std::uint64_t ctx_id) {
  if (ctx_id == 0) ctx_id = 1;
  const std::uint64_t now = clock_();
  Entries dropped;  // released after the lock, so no state is freed while it is held
  std::lock_guard guard(lock_);

  // The list is ordered by last_used, so the idle entries are exactly a prefix of it. Idle
  // time counts as 0 for a stamp later than now.
  auto first_kept = by_use_.begin();
  while (first_kept != by_use_.end() && first_kept->last_used < now &&
         now - first_kept->last_used > CONTEXT_IDLE_LIMIT_SECONDS) {
    by_id_.erase(first_kept->ctx_id);
    ++first_kept;
  }
  dropped.splice(dropped.end(), by_use_, by_use_.begin(), first_kept);

  const std::uint64_t stamp = by_use_.empty() ? now : std::max(now, by_use_.back().last_used);
  if (auto found = by_id_.find(ctx_id); found != by_id_.end()) {
    Entries::iterator entry = found->second;
    entry->last_used = stamp;
    by_use_.splice(by_use_.end(), by_use_, entry);
    return entry->state;
  }

  if (by_use_.size() >= CONTEXT_CACHE_MAX_ENTRIES) {
    const Entry& victim = by_use_.front();
    // A request still holds it: remember it, so that the context never has two live
    // states whose registries (and registry files) would drift apart.
    if (victim.state.use_count() > 1) remember_in_use(victim.ctx_id, victim.state);
    by_id_.erase(victim.ctx_id);
    dropped.splice(dropped.end(), by_use_, by_use_.begin());
  }
  by_use_.push_back(Entry{ctx_id, stamp, take_in_use(ctx_id)});
  by_id_.emplace(ctx_id, std::prev(by_use_.end()));
  return by_use_.back().state;
}

void ContextCache::remember_in_use(std::uint64_t ctx_id, const FusionStatePtr& state) {
  evicted_in_use_.insert_or_assign(ctx_id, state);
  if (evicted_in_use_.size() < sweep_at_) return;
  std::erase_if(evicted_in_use_, [](const auto& entry) { return entry.second.expired(); });
  sweep_at_ = std::max<std::size_t>(64, 2 * evicted_in_use_.size());
}

FusionStatePtr ContextCache::take_in_use(std::uint64_t ctx_id) {
  FusionStatePtr state;
  if (const auto it = evicted_in_use_.find(ctx_id); it != evicted_in_use_.end()) {
    state = it->second.lock();
    evicted_in_use_.erase(it);
  }
  return state ? state : std::make_shared<FusionState>();
}

std::size_t ContextCache::size() const {
  std::lock_guard guard(lock_);
  return by_use_.size();
}

FusionStatePtr context_state_for(std::uint64_t ctx_id) {
  static ContextCache* const cache = new ContextCache();
  return cache->state_for(ctx_id);
}

}  // namespace vm
