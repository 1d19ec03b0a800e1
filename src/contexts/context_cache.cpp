#include "contexts/context_cache.h"

#include <time.h>
#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include <algorithm>
#include <chrono>
#include <iterator>
#include <utility>

#include "support/keyed_hash.h"

namespace vm {
namespace {

constexpr std::size_t kInitialSlotBits = 6;

// Keyed: context numbers come from requests, and with a fixed hash a caller could pick
// numbers that all fall into one shard and one run of slots.
std::uint64_t hash_of(std::uint64_t ctx_id) noexcept { return keyed_hash_u64(ctx_id); }

// The home slot of a context in a shard table of 2^bits slots: the hash bits after those
// that chose the shard.
std::size_t home_slot(std::uint64_t ctx_id, std::size_t slot_count) noexcept {
  const auto bits = static_cast<unsigned>(__builtin_ctzll(slot_count));
  return static_cast<std::size_t>((hash_of(ctx_id) << 4) >> (64 - bits));
}

// The order of use of a call: the time stamp counter where there is one (synchronized across
// cores, a few nanoseconds to read), else the monotonic clock, raised on each thread to
// more than its previous call's. No counter is shared, so callers on different cores write
// no common line. Calls of one thread are ordered exactly; calls of different threads in
// the same second may tie-break either way, which eviction allows (it takes the smallest
// last_used, any one of several equal ones).
std::uint64_t next_use() noexcept {
  thread_local std::uint64_t last = 0;
#if defined(__x86_64__) || defined(__i386__)
  std::uint64_t now = __rdtsc();
#else
  auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
  last = std::max(now, last + 1);
  return last;
}

// Idle time counts as 0 for a stamp later than now.
constexpr bool idle_too_long(std::uint64_t last_used, std::uint64_t now) noexcept {
  return last_used < now && now - last_used > CONTEXT_IDLE_LIMIT_SECONDS;
}

}  // namespace

std::uint64_t wall_clock_seconds() noexcept {
  // Whole seconds need no more than the clock of the last kernel tick, which costs a few
  // nanoseconds where the precise clock costs tens (every request reads it).
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME_COARSE, &now) != 0) {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    now.tv_sec = static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count());
  }
  return now.tv_sec < 0 ? 0 : static_cast<std::uint64_t>(now.tv_sec);
}

class ContextCache::AllShards {
 public:
  explicit AllShards(ContextCache& cache) : cache_(cache) {
    for (Shard& s : cache_.shards_) s.lock.lock();
  }
  ~AllShards() {
    for (auto s = std::rbegin(cache_.shards_); s != std::rend(cache_.shards_); ++s) s->lock.unlock();
  }
  AllShards(const AllShards&) = delete;
  AllShards& operator=(const AllShards&) = delete;

 private:
  ContextCache& cache_;
};

ContextCache::ContextCache(Clock clock) : clock_(std::move(clock)) {
  for (Shard& s : shards_) s.slots.resize(std::size_t{1} << kInitialSlotBits);
}

ContextCache::Shard& ContextCache::shard_of(std::uint64_t ctx_id) noexcept {
  return shards_[hash_of(ctx_id) >> (64 - kShardBits)];
}

std::size_t ContextCache::slot_of(const Shard& shard, std::uint64_t ctx_id) noexcept {
  const std::size_t mask = shard.slots.size() - 1;
  std::size_t slot = home_slot(ctx_id, shard.slots.size());
  while (shard.slots[slot].state && shard.slots[slot].ctx_id != ctx_id) slot = (slot + 1) & mask;
  return slot;
}

std::uint64_t ContextCache::next_stamp(std::uint64_t now) noexcept {
  std::uint64_t newest = newest_.load(std::memory_order_relaxed);
  for (;;) {
    const std::uint64_t stamp = size_.load(std::memory_order_relaxed) == 0 ? now : std::max(now, newest);
    if (stamp == newest || newest_.compare_exchange_weak(newest, stamp, std::memory_order_relaxed)) return stamp;
  }
}

FusionStatePtr ContextCache::touch(Shard& shard, std::size_t slot, std::uint64_t ctx_id, std::uint64_t stamp) {
  Slot& entry = shard.slots[slot];
  if (!entry.state) {
    insert(shard, ctx_id, stamp);
    return shard.slots[slot_of(shard, ctx_id)].state;
  }
  entry.last_used = stamp;
  entry.use = next_use();
  return entry.state;
}

void ContextCache::insert(Shard& shard, std::uint64_t ctx_id, std::uint64_t stamp) {
  if (2 * (shard.size + 1) > shard.slots.size()) {
    // Doubled, so that the table stays at most half full and probe runs short.
    std::vector<Slot> old(2 * shard.slots.size());
    old.swap(shard.slots);
    for (Slot& s : old)
      if (s.state) shard.slots[slot_of(shard, s.ctx_id)] = std::move(s);
  }
  // oldest_ stays a lower bound of every last_used held.
  std::uint64_t oldest = oldest_.load(std::memory_order_relaxed);
  while (stamp < oldest && !oldest_.compare_exchange_weak(oldest, stamp, std::memory_order_relaxed)) {
  }
  shard.slots[slot_of(shard, ctx_id)] = Slot{ctx_id, stamp, next_use(), take_in_use(shard, ctx_id)};
  ++shard.size;
}

void ContextCache::remove(Shard& shard, std::size_t slot, std::vector<FusionStatePtr>& dropped) {
  dropped.push_back(std::move(shard.slots[slot].state));
  --shard.size;
  size_.fetch_sub(1, std::memory_order_relaxed);
  // Backward shift: an entry further along the run moves into the hole when its home slot
  // does not lie (cyclically) between the hole and its own slot.
  const std::size_t mask = shard.slots.size() - 1;
  std::size_t hole = slot;
  for (std::size_t next = (hole + 1) & mask; shard.slots[next].state; next = (next + 1) & mask) {
    const std::size_t home = home_slot(shard.slots[next].ctx_id, shard.slots.size());
    if (((next - home) & mask) >= ((next - hole) & mask)) {
      shard.slots[hole] = std::move(shard.slots[next]);
      hole = next;
    }
  }
}

void ContextCache::expire(std::uint64_t now, std::vector<FusionStatePtr>& dropped) {
  std::uint64_t oldest = now;
  for (Shard& shard : shards_) {
    for (std::size_t slot = 0; slot < shard.slots.size(); ++slot) {
      // A removal may shift a later entry into this slot: look at it again.
      while (shard.slots[slot].state && idle_too_long(shard.slots[slot].last_used, now)) remove(shard, slot, dropped);
    }
    for (const Slot& s : shard.slots)
      if (s.state) oldest = std::min(oldest, s.last_used);
  }
  oldest_.store(oldest, std::memory_order_relaxed);
}

void ContextCache::evict_least_recent(std::vector<FusionStatePtr>& dropped) {
  Shard* victim_shard = nullptr;
  std::size_t victim = 0;
  for (Shard& shard : shards_) {
    for (std::size_t slot = 0; slot < shard.slots.size(); ++slot) {
      const Slot& s = shard.slots[slot];
      if (!s.state) continue;
      if (victim_shard == nullptr || std::pair(s.last_used, s.use) < std::pair(victim_shard->slots[victim].last_used,
                                                                               victim_shard->slots[victim].use)) {
        victim_shard = &shard;
        victim = slot;
      }
    }
  }
  if (victim_shard == nullptr) return;
  const Slot& v = victim_shard->slots[victim];
  if (v.state.use_count() > 1) {
    Shard& shard = *victim_shard;
    shard.evicted_in_use.insert_or_assign(v.ctx_id, v.state);
    if (shard.evicted_in_use.size() >= shard.sweep_at) {
      std::erase_if(shard.evicted_in_use, [](const auto& entry) { return entry.second.expired(); });
      shard.sweep_at = std::max<std::size_t>(64, 2 * shard.evicted_in_use.size());
    }
  }
  remove(*victim_shard, victim, dropped);
}

FusionStatePtr ContextCache::take_in_use(Shard& shard, std::uint64_t ctx_id) {
  FusionStatePtr state;
  if (const auto it = shard.evicted_in_use.find(ctx_id); it != shard.evicted_in_use.end()) {
    state = it->second.lock();
    shard.evicted_in_use.erase(it);
  }
  return state ? state : std::make_shared<FusionState>();
}

FusionStatePtr ContextCache::state_for(std::uint64_t ctx_id) {
  if (ctx_id == 0) ctx_id = 1;
  const std::uint64_t now = clock_();
  // States given up here are released after the locks, so none is freed while one is held.
  thread_local std::vector<FusionStatePtr> dropped;
  struct ReleaseDropped {
    ~ReleaseDropped() { dropped.clear(); }
  } release;

  // Every idle entry goes first. oldest_ tells, without any lock, whether one may exist.
  if (const std::uint64_t oldest = oldest_.load(std::memory_order_relaxed);
      size_.load(std::memory_order_relaxed) != 0 && idle_too_long(oldest, now)) {
    AllShards all(*this);
    if (size_.load(std::memory_order_relaxed) != 0 && idle_too_long(oldest_.load(std::memory_order_relaxed), now))
      expire(now, dropped);
  }

  Shard& shard = shard_of(ctx_id);
  {
    std::lock_guard guard(shard.lock);
    const std::uint64_t stamp = next_stamp(now);
    const std::size_t slot = slot_of(shard, ctx_id);
    if (shard.slots[slot].state) return touch(shard, slot, ctx_id, stamp);
    // A new context takes its room in the count first, so that two shards never both add
    // the last one a full cache has room for.
    if (size_.fetch_add(1, std::memory_order_relaxed) < CONTEXT_CACHE_MAX_ENTRIES)
      return touch(shard, slot, ctx_id, stamp);
    size_.fetch_sub(1, std::memory_order_relaxed);
  }

  // A full cache: the least recently used entry of all makes room, with every shard locked
  // (another caller may have added this context meanwhile).
  AllShards all(*this);
  const std::uint64_t stamp = next_stamp(now);
  if (!shard.slots[slot_of(shard, ctx_id)].state) {
    if (size_.load(std::memory_order_relaxed) >= CONTEXT_CACHE_MAX_ENTRIES) evict_least_recent(dropped);
    size_.fetch_add(1, std::memory_order_relaxed);
  }
  return touch(shard, slot_of(shard, ctx_id), ctx_id, stamp);
}

FusionStatePtr ContextCache::find(std::uint64_t ctx_id) {
  if (ctx_id == 0) ctx_id = 1;
  Shard& shard = shard_of(ctx_id);
  std::lock_guard guard(shard.lock);
  if (const Slot& slot = shard.slots[slot_of(shard, ctx_id)]; slot.state) return slot.state;
  if (const auto it = shard.evicted_in_use.find(ctx_id); it != shard.evicted_in_use.end()) return it->second.lock();
  return nullptr;
}

bool ContextCache::drop(std::uint64_t ctx_id) {
  if (ctx_id == 0) ctx_id = 1;
  // The state goes after the lock, so that it is never freed while one is held.
  std::vector<FusionStatePtr> dropped;
  Shard& shard = shard_of(ctx_id);
  std::lock_guard guard(shard.lock);
  bool held = false;
  if (const auto it = shard.evicted_in_use.find(ctx_id); it != shard.evicted_in_use.end()) {
    held = !it->second.expired();
    shard.evicted_in_use.erase(it);
  }
  if (const std::size_t slot = slot_of(shard, ctx_id); shard.slots[slot].state) {
    remove(shard, slot, dropped);
    held = true;
  }
  return held;
}

std::size_t ContextCache::size() const { return size_.load(std::memory_order_relaxed); }

namespace {

ContextCache& process_cache() {
  static ContextCache* const cache = new ContextCache();
  return *cache;
}

}  // namespace

FusionStatePtr context_state_for(std::uint64_t ctx_id) { return process_cache().state_for(ctx_id); }

FusionStatePtr find_context_state(std::uint64_t ctx_id) { return process_cache().find(ctx_id); }

bool drop_context(std::uint64_t ctx_id) { return process_cache().drop(ctx_id); }

}  // namespace vm
