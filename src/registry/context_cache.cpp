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

namespace {

constexpr std::size_t kSlotBits = 12;
constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;
static_assert(kSlots >= 2 * CONTEXT_CACHE_MAX_ENTRIES, "the table stays at most half full");

constexpr std::size_t home_slot(std::uint64_t ctx_id) noexcept {
  return static_cast<std::size_t>((ctx_id * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
}

}  // namespace

std::size_t ContextCache::slot_of(std::uint64_t ctx_id) const noexcept {
  std::size_t slot = home_slot(ctx_id);
  while (slots_[slot].state && slots_[slot].ctx_id != ctx_id) slot = (slot + 1) & (kSlots - 1);
  return slot;
}

void ContextCache::remove(std::size_t slot, std::vector<FusionStatePtr>& dropped) {
  dropped.push_back(std::move(slots_[slot].state));
  --size_;
  // Backward shift: an entry further along the run moves into the hole when its home slot
  // does not lie (cyclically) between the hole and its own slot.
  std::size_t hole = slot;
  for (std::size_t next = (hole + 1) & (kSlots - 1); slots_[next].state; next = (next + 1) & (kSlots - 1)) {
    const std::size_t home = home_slot(slots_[next].ctx_id);
    if (((next - home) & (kSlots - 1)) >= ((next - hole) & (kSlots - 1))) {
      slots_[hole] = std::move(slots_[next]);
      hole = next;
    }
  }
}

void ContextCache::expire(std::uint64_t now, std::vector<FusionStatePtr>& dropped) {
  // Idle time counts as 0 for a stamp later than now.
  const auto idle = [now](const Slot& s) {
    return s.last_used < now && now - s.last_used > CONTEXT_IDLE_LIMIT_SECONDS;
  };
  for (std::size_t slot = 0; slot < kSlots; ++slot) {
    // A removal may shift a later entry into this slot: look at it again.
    while (slots_[slot].state && idle(slots_[slot])) remove(slot, dropped);
  }
  std::uint64_t oldest = now;
  for (const Slot& s : slots_)
    if (s.state) oldest = std::min(oldest, s.last_used);
  oldest_ = oldest;
}

FusionStatePtr ContextCache::state_for(std::uint64_t ctx_id) {
  if (ctx_id == 0) ctx_id = 1;
  const std::uint64_t now = clock_();
  // States given up here are released after the lock, so none is freed while it is held.
  thread_local std::vector<FusionStatePtr> dropped;
  struct ReleaseDropped {
    ~ReleaseDropped() { dropped.clear(); }
  } release;
  std::lock_guard guard(lock_);
  if (slots_.empty()) slots_.resize(kSlots);

  if (size_ != 0 && oldest_ < now && now - oldest_ > CONTEXT_IDLE_LIMIT_SECONDS) expire(now, dropped);

  const std::uint64_t stamp = size_ == 0 ? now : std::max(now, newest_);
  newest_ = stamp;
  std::size_t slot = slot_of(ctx_id);
  if (slots_[slot].state) {
    Slot& entry = slots_[slot];
    entry.last_used = stamp;
    entry.use = ++uses_;
    return entry.state;
  }

  if (size_ >= CONTEXT_CACHE_MAX_ENTRIES) {
    std::size_t victim = kSlots;
    for (std::size_t s = 0; s < kSlots; ++s)
      if (slots_[s].state && (victim == kSlots || slots_[s].use < slots_[victim].use)) victim = s;
    remove(victim, dropped);
    slot = slot_of(ctx_id);  // the removal may have moved the free slot
  }
  if (size_ == 0) oldest_ = stamp;
  ++size_;
  slots_[slot] = Slot{ctx_id, stamp, ++uses_, std::make_shared<FusionState>()};
  return slots_[slot].state;
}

std::size_t ContextCache::size() const {
  std::lock_guard guard(lock_);
  return size_;
}

FusionStatePtr context_state_for(std::uint64_t ctx_id) {
  static ContextCache* const cache = new ContextCache();
  return cache->state_for(ctx_id);
}

}  // namespace vm
