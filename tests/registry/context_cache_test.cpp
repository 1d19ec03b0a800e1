#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "contexts/context_cache.h"

namespace vm {
namespace {

// A cache on a clock the test sets by hand.
struct ManualClockCache {
  std::uint64_t now = 1'700'000'000;
  ContextCache cache{[this] { return now; }};
};

TEST(ContextCache, ZeroAndOneNameTheSameContext) {
  ManualClockCache c;
  const FusionStatePtr one = c.cache.state_for(1);
  EXPECT_EQ(c.cache.state_for(0), one);
  EXPECT_EQ(c.cache.state_for(1), one);
  EXPECT_NE(c.cache.state_for(2), one);
  EXPECT_NE(c.cache.state_for(UINT64_MAX), one);
  EXPECT_EQ(c.cache.size(), 3u);
  EXPECT_TRUE(one->registry.devices.empty());
}

TEST(ContextCache, DropsContextsIdleForMoreThanAnHour) {
  ManualClockCache c;
  const FusionStatePtr first = c.cache.state_for(5);
  first->registry.devices[DeviceId{1}];
  (void)c.cache.state_for(6);

  c.now += 3600;  // exactly the limit: both stay
  EXPECT_EQ(c.cache.state_for(5), first);
  EXPECT_EQ(c.cache.size(), 2u);

  c.now += 3601;  // one second over: both go, and 5 comes back empty
  const FusionStatePtr fresh = c.cache.state_for(5);
  EXPECT_NE(fresh, first);
  EXPECT_TRUE(fresh->registry.devices.empty());
  EXPECT_EQ(c.cache.size(), 1u);
  EXPECT_EQ(first->registry.devices.size(), 1u);  // the caller's reference still works
}

// Marks the state of each context with a device of its own number, so that a later call
// can tell the same state from a fresh one without holding a reference (a held reference
// is a request in flight, which keeps an evicted state coming back).
void mark(ContextCache& cache, std::uint64_t id) { cache.state_for(id)->registry.devices[DeviceId{static_cast<std::uint32_t>(id)}]; }
bool marked(ContextCache& cache, std::uint64_t id) {
  return cache.state_for(id)->registry.devices.contains(DeviceId{static_cast<std::uint32_t>(id)});
}

TEST(ContextCache, EvictsTheLeastRecentlyUsedWhenFull) {
  ManualClockCache c;
  for (std::uint64_t id = 1; id <= CONTEXT_CACHE_MAX_ENTRIES - 1; ++id) {
    mark(c.cache, id);
    ++c.now;
  }
  EXPECT_EQ(c.cache.size(), 2047u);
  mark(c.cache, 2048);  // 2047 held: added without eviction
  ++c.now;
  EXPECT_EQ(c.cache.size(), 2048u);
  EXPECT_TRUE(marked(c.cache, 1));  // present: evicts nothing, and 1 is now recent
  EXPECT_EQ(c.cache.size(), 2048u);
  ++c.now;

  (void)c.cache.state_for(5000);  // full: evicts 2, the least recently used
  EXPECT_EQ(c.cache.size(), 2048u);
  EXPECT_TRUE(marked(c.cache, 1));
  EXPECT_TRUE(marked(c.cache, 3));
  EXPECT_FALSE(marked(c.cache, 2));  // came back fresh, evicting 4
  EXPECT_FALSE(marked(c.cache, 4));
  EXPECT_EQ(c.cache.size(), 2048u);
}

// Oldest stamps first, all sharing one second: eviction still takes the least recently used.
TEST(ContextCache, EvictionAmongEqualStamps) {
  ManualClockCache c;
  for (std::uint64_t id = 0; id < CONTEXT_CACHE_MAX_ENTRIES; ++id) mark(c.cache, id + 10);
  (void)c.cache.state_for(10);
  (void)c.cache.state_for(1);  // evicts 11
  EXPECT_TRUE(marked(c.cache, 10));
  EXPECT_TRUE(marked(c.cache, 12));
  EXPECT_FALSE(marked(c.cache, 11));
}

// A request still working on a context when it is evicted: the next request for that
// context must get the same state, not a second one that loads stale registry files while
// the first is still changing them (the two would answer from drifting templates).
TEST(ContextCache, AnEvictedContextStillInUseComesBackAsTheSameState) {
  ManualClockCache c;
  const auto use_new_contexts = [&c](std::uint64_t first) {
    for (std::uint64_t id = first; id < first + CONTEXT_CACHE_MAX_ENTRIES; ++id) {
      ++c.now;
      (void)c.cache.state_for(id);
    }
  };
  FusionStatePtr in_flight = c.cache.state_for(1);
  in_flight->registry.devices[DeviceId{1}];
  use_new_contexts(2);  // context 1 is evicted while the request still holds it
  ++c.now;
  EXPECT_EQ(c.cache.state_for(1), in_flight);
  EXPECT_EQ(c.cache.size(), CONTEXT_CACHE_MAX_ENTRIES);

  use_new_contexts(5000);  // evicted again; once let go, it is gone for good
  in_flight.reset();
  ++c.now;
  EXPECT_TRUE(c.cache.state_for(1)->registry.devices.empty());
}

TEST(ContextCache, DropForgetsAContextAtOnceWhileItsHoldersKeepTheirState) {
  ManualClockCache c;
  EXPECT_EQ(c.cache.find(5), nullptr);
  EXPECT_FALSE(c.cache.drop(5));
  FusionStatePtr held = c.cache.state_for(5);
  held->registry.devices[DeviceId{1}];
  const FusionStatePtr other = c.cache.state_for(6);
  EXPECT_EQ(c.cache.find(5), held);
  EXPECT_TRUE(c.cache.drop(5));
  EXPECT_FALSE(c.cache.drop(5));
  EXPECT_EQ(c.cache.find(5), nullptr);
  EXPECT_EQ(c.cache.size(), 1u);
  EXPECT_EQ(held->registry.devices.size(), 1u) << "a holder keeps the state it has";
  const FusionStatePtr fresh = c.cache.state_for(5);
  EXPECT_NE(fresh, held);
  EXPECT_TRUE(fresh->registry.devices.empty());
  EXPECT_EQ(c.cache.state_for(6), other) << "other contexts stay";
  (void)c.cache.state_for(1);
  EXPECT_TRUE(c.cache.drop(0)) << "0 names context 1";
  EXPECT_FALSE(c.cache.drop(1));

  // A context evicted while a request holds it is held still, until dropped.
  for (std::uint64_t id = 100; id < 100 + CONTEXT_CACHE_MAX_ENTRIES; ++id) {
    ++c.now;
    (void)c.cache.state_for(id);
  }
  EXPECT_EQ(c.cache.find(5), fresh);
  EXPECT_TRUE(c.cache.drop(5));
  EXPECT_EQ(c.cache.find(5), nullptr);
  ++c.now;
  EXPECT_NE(c.cache.state_for(5), fresh) << "the evicted state does not come back after a drop";
  EXPECT_EQ(c.cache.size(), CONTEXT_CACHE_MAX_ENTRIES);
}

// A state the cache lets go while it holds unsaved changes is remembered, so that a save
// of the context cannot report those changes written; a drop on demand acknowledges it.
TEST(ContextCache, RemembersContextsItDroppedWithUnsavedChanges) {
  ManualClockCache c;
  c.cache.state_for(1)->unsaved_changes = true;
  (void)c.cache.state_for(2);  // saved
  FusionStatePtr in_use = c.cache.state_for(3);
  in_use->unsaved_changes = true;
  c.now += CONTEXT_IDLE_LIMIT_SECONDS + 1;
  (void)c.cache.state_for(4);  // expires 1, 2 and 3
  EXPECT_TRUE(c.cache.lost_unsaved_changes(1));
  EXPECT_TRUE(c.cache.lost_unsaved_changes(0));
  EXPECT_FALSE(c.cache.lost_unsaved_changes(2));
  EXPECT_TRUE(c.cache.lost_unsaved_changes(3)) << "a new state takes its place: the held one's changes go with it";
  EXPECT_FALSE(c.cache.drop(1));
  EXPECT_FALSE(c.cache.lost_unsaved_changes(1));

  // Evicted to make room: lost unless a request holds the state, which then comes back.
  c.cache.state_for(4)->unsaved_changes = true;
  FusionStatePtr held = c.cache.state_for(5);
  held->unsaved_changes = true;
  for (std::uint64_t id = 100; id < 100 + CONTEXT_CACHE_MAX_ENTRIES; ++id) {
    ++c.now;
    (void)c.cache.state_for(id);
  }
  EXPECT_TRUE(c.cache.lost_unsaved_changes(4));
  EXPECT_FALSE(c.cache.lost_unsaved_changes(5));
  EXPECT_EQ(c.cache.find(5), held);
}

TEST(ContextCache, ClockSteppingBackKeepsExpiryWorking) {
  ManualClockCache c;
  c.now = 10'000;
  const FusionStatePtr a = c.cache.state_for(1);
  c.now = 5'000;  // back by more than an hour: idle time counts as 0, nothing expires
  const FusionStatePtr b = c.cache.state_for(2);
  EXPECT_EQ(c.cache.state_for(1), a);
  c.now = 10'000 + 3600;
  (void)c.cache.state_for(3);
  EXPECT_EQ(c.cache.size(), 3u);
  c.now = 10'000 + 3601;  // 1 and 2 carry stamps of at most 10'000: both expire
  (void)c.cache.state_for(4);
  EXPECT_EQ(c.cache.size(), 2u);
  EXPECT_NE(c.cache.state_for(1), a);
  EXPECT_NE(c.cache.state_for(2), b);
}

// Reference model: a plain map scanned whole on every call, as the cache is described:
// expire every entry idle for more than an hour, refresh or insert, evicting the entry with
// the smallest stamp (least recently used among equals). Stamps never fall behind the newest
// one held, so a clock stepping back cannot reorder them.
class ReferenceCache {
 public:
  FusionStatePtr state_for(std::uint64_t id, std::uint64_t now) {
    if (id == 0) id = 1;
    std::erase_if(entries_, [&](const auto& kv) {
      return kv.second.stamp < now && now - kv.second.stamp > CONTEXT_IDLE_LIMIT_SECONDS;
    });
    std::uint64_t stamp = now;
    for (const auto& [key, e] : entries_) stamp = std::max(stamp, e.stamp);
    if (auto it = entries_.find(id); it != entries_.end()) {
      it->second.stamp = stamp;
      it->second.touch = ++touches_;
      return it->second.state;
    }
    if (entries_.size() >= CONTEXT_CACHE_MAX_ENTRIES) {
      auto victim = entries_.begin();
      for (auto it = entries_.begin(); it != entries_.end(); ++it)
        if (std::pair(it->second.stamp, it->second.touch) < std::pair(victim->second.stamp, victim->second.touch))
          victim = it;
      entries_.erase(victim);
    }
    return entries_[id] = Entry{stamp, ++touches_, nullptr}, nullptr;
  }
  void remember(std::uint64_t id, FusionStatePtr state) { entries_.at(id == 0 ? 1 : id).state = std::move(state); }
  std::size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    std::uint64_t stamp, touch;
    FusionStatePtr state;
  };
  std::map<std::uint64_t, Entry> entries_;
  std::uint64_t touches_ = 0;
};

TEST(ContextCache, MatchesTheReferenceModelUnderRandomUse) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  ManualClockCache c;
  ReferenceCache model;
  for (int i = 0; i < 30000; ++i) {
    const unsigned step = rng() % 1000;
    if (step < 5) {
      c.now -= rng() % 5000;  // the clock steps back
    } else if (step < 8) {
      c.now += 3000 + rng() % 1200;  // a jump around the idle limit
    } else {
      c.now += rng() % 3;
    }
    const std::uint64_t id = rng() % 2600;
    const FusionStatePtr expected = model.state_for(id, c.now);
    const FusionStatePtr got = c.cache.state_for(id);
    if (expected) {
      ASSERT_EQ(got, expected) << "call " << i << " ctx " << id;
    } else {
      model.remember(id, got);
      ASSERT_TRUE(got->registry.devices.empty()) << "call " << i;
    }
    ASSERT_EQ(c.cache.size(), model.size()) << "call " << i;
  }
}

// States stay usable while other threads' calls evict them.
TEST(ContextCache, ConcurrentCallersWithEviction) {
  ContextCache cache;  // wall clock
  std::vector<std::thread> threads;
  std::atomic<int> done{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&cache, &done, t] {
      std::mt19937 rng(t);
      for (int i = 0; i < 5000; ++i) {
        const FusionStatePtr state = cache.state_for(rng() % 3000);
        std::lock_guard guard(state->lock);
        ++device_for(state->registry, DeviceId{1}).next_tid;
        ++done;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(done.load(), 20000);
  EXPECT_LE(cache.size(), CONTEXT_CACHE_MAX_ENTRIES);
  EXPECT_EQ(context_state_for(0), context_state_for(1));
}

}  // namespace
}  // namespace vm
