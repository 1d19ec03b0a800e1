// Steady-state fusion allocates nothing beyond a difference body: known signatures are
// looked up by view, stored values are assigned in place, and the fusion-state calls
// reuse per-thread buffers. Counts operator new calls on this thread.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "fusion/fusion_state_calls.h"
#include "fusion/packet_decoder.h"
#include "fusion/packet_encoder.h"
#include "fusion_test_support.h"
#include "wire/byte_reader.h"
#include "wire/command.h"

namespace {
thread_local long allocations = 0;
}  // namespace

void* operator new(std::size_t n) {
  ++allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace vm {
namespace {

using Values = std::vector<std::string>;

constexpr DeviceId kAid{7};
constexpr std::string_view kSig = "dev.{TS}|t>\x01:\x01|h>\x01:\x01|";

template <class F>
long allocations_of(F&& f) {
  const long before = allocations;
  f();
  return allocations - before;
}

TEST(SteadyState, EncodeAllocatesOnlyTheDifferenceBody) {
  TemplateRegistry r;
  // Values longer than the small-string buffer, so an in-place assign is visible.
  const Values first{"0.c1-with-a-long-unit-name", "yG000000000000000000", "0.m/s2-long-unit-name", "q0U0000000000000000"};
  Values changed = first;
  changed[3] = "q0V0000000000000000";
  const auto a = testing::views(first);
  const auto b = testing::views(changed);
  ASSERT_TRUE(encode(r, kAid, false, kSig, a));
  ASSERT_TRUE(encode(r, kAid, false, kSig, b));
  ASSERT_TRUE(encode(r, kAid, false, kSig, a));

  std::optional<FusionDecision> d;
  EXPECT_EQ(allocations_of([&] { d = encode(r, kAid, false, kSig, a); }), 0);
  EXPECT_EQ(d->command, DATA_HEART);
  EXPECT_EQ(allocations_of([&] { d = encode(r, kAid, false, kSig, b); }), 1);
  EXPECT_EQ(d->command, DATA_DIFF);
  EXPECT_EQ(allocations_of([&] { d = encode(r, kAid, true, kSig, a); }), 0);
  EXPECT_EQ(d->command, DATA_FULL);
}

TEST(SteadyState, ReceiveApplyAllocatesNothingOnceTheOutputHasRoom) {
  TemplateRegistry r;
  learn_template(device_for(r, kAid), TemplateId{24}, kSig,
                 {"0.c1-with-a-long-unit-name", "yG000000000000000000", "0.m/s2", "q0U"});
  std::string out;
  out.reserve(256);
  const std::string changed = "yH000000000000000000";
  const std::string diff = "\x02" + std::string(1, static_cast<char>(changed.size())) + changed;
  EXPECT_EQ(allocations_of([&] { ASSERT_TRUE(receive_apply(r, kAid, DATA_HEART, TemplateId{24}, "AYvP5WgA", "", out)); }), 0);
  out.clear();
  EXPECT_EQ(allocations_of([&] { ASSERT_TRUE(receive_apply(r, kAid, DATA_DIFF, TemplateId{24}, "AYvP5WgA", diff, out)); }), 0);
  EXPECT_NE(out.find(changed), std::string::npos);
}

TEST(SteadyState, FusionStateApplyOfAHeartbeatAllocatesNothing) {
  std::string record;
  put_u32(record, raw(kAid));
  record.push_back(0);
  put_u32(record, static_cast<std::uint32_t>(kSig.size()));
  record.append(kSig);
  put_u32(record, 4);
  for (std::string_view v : {"0.c1-with-a-long-unit-name", "yG000000000000000000", "0.m/s2", "q0U"}) {
    put_u32(record, static_cast<std::uint32_t>(v.size()));
    record.append(v);
  }
  const FusionStateHandle h = create_fusion_state();
  std::string out;
  out.reserve(64);
  ASSERT_TRUE(apply_on_fusion_state(h, as_bytes(record), out));
  out.clear();
  ASSERT_TRUE(apply_on_fusion_state(h, as_bytes(record), out));
  out.clear();
  EXPECT_EQ(allocations_of([&] { ASSERT_TRUE(apply_on_fusion_state(h, as_bytes(record), out)); }), 0);
  EXPECT_EQ(static_cast<std::uint8_t>(out[0]), DATA_HEART);
  EXPECT_TRUE(free_fusion_state(h));
}

}  // namespace
}  // namespace vm
