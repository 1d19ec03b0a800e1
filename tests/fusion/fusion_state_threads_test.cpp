// Fusion states used from several threads at once: private handles, shared handles and
// handles freed while calls are running. Meant to run clean under ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fusion_exports_support.h"
#include "velmarinthos_tavkin.h"

namespace {

using namespace fusion_exports;

constexpr std::string_view kSig = "dev.{TS}|t>\x01:\x01|";
constexpr int kThreads = 4;

// Runs `rounds` facts of device `aid` from `sender` to `receiver`; true when every
// rebuilt fact equals the fact that was encoded.
bool lock_step(uint64_t sender, uint64_t receiver, uint32_t aid, int rounds) {
  for (int i = 0; i < rounds; ++i) {
    const std::vector<std::string> v = {"0.c" + std::to_string(aid), std::to_string(i / 3)};
    const Answer a = call(vm_fusion_state_apply_v1, sender, apply_record(aid, i % 17 == 16, kSig, v));
    if (a.result <= 0) return false;
    const Decision d = parse_decision(a.bytes);
    if (d.command == 0x3F) {
      const Record seed = seed_record(aid, d.tid, kSig, v);
      if (vm_fusion_state_seed_v1(receiver, seed.data(), seed.size()) != 1) return false;
      continue;
    }
    const Answer r = call(vm_fusion_state_receive_apply_v1, receiver,
                          receive_record(aid, d.command, d.tid, "AYvP5WgA", d.body));
    if (r.bytes != "dev.AYvP5WgA|t>" + v[0] + ":" + v[1] + "|") return false;
  }
  return true;
}

TEST(FusionStateThreads, PrivateAndSharedHandlesStayInLockStep) {
  const uint64_t shared_sender = vm_fusion_state_create_v1();
  const uint64_t shared_receiver = vm_fusion_state_create_v1();
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int life = 0; life < 5; ++life) {
        const uint64_t sender = vm_fusion_state_create_v1();
        const uint64_t receiver = vm_fusion_state_create_v1();
        if (!lock_step(sender, receiver, 7, 40)) ++failures;
        // Each thread owns one device of the shared pair.
        if (!lock_step(shared_sender, shared_receiver, 100 + t, 40)) ++failures;
        if (vm_fusion_state_free_v1(sender) != 1 || vm_fusion_state_free_v1(receiver) != 1) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(vm_fusion_state_free_v1(shared_sender), 1);
  EXPECT_EQ(vm_fusion_state_free_v1(shared_receiver), 1);
}

TEST(FusionStateThreads, FreeWhileCallsAreRunning) {
  const uint64_t handle = vm_fusion_state_create_v1();
  std::atomic<bool> go{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> users;
  for (int t = 0; t < kThreads; ++t) {
    users.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      bool freed = false;
      for (int i = 0; i < 2000; ++i) {
        const Answer a = call(vm_fusion_state_apply_v1, handle,
                              apply_record(t, false, kSig, {"s", std::to_string(i)}));
        if (a.result == 0) {
          freed = true;  // a freed handle never comes back
        } else if (freed || a.result < 10) {
          ++bad;
        }
      }
    });
  }
  std::vector<uint64_t> created;
  std::thread churn([&] {
    while (!go.load()) std::this_thread::yield();
    for (int i = 0; i < 200; ++i) {
      const uint64_t h = vm_fusion_state_create_v1();
      created.push_back(h);
      if (vm_fusion_state_free_v1(h) != 1) ++bad;
    }
  });
  go = true;
  std::this_thread::yield();
  EXPECT_EQ(vm_fusion_state_free_v1(handle), 1);
  for (auto& th : users) th.join();
  churn.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(std::set<uint64_t>(created.begin(), created.end()).size(), created.size());
  EXPECT_TRUE(std::none_of(created.begin(), created.end(), [&](uint64_t h) { return h == handle; }));
}

}  // namespace
