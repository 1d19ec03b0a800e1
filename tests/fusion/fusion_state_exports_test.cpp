#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fusion_exports_support.h"
#include "velmarinthos_tavkin.h"

namespace {

using namespace fusion_exports;
using Values = std::vector<std::string>;

constexpr std::string_view kSig = "x.{TS}|\x01|";

// A fresh handle that is freed at the end of the test.
struct State {
  uint64_t handle = vm_fusion_state_create_v1();
  ~State() { vm_fusion_state_free_v1(handle); }
};

std::string bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s.push_back(static_cast<char>(v));
  return s;
}

TEST(FusionStateExports, HandlesCountUpAndAreFreedOnce) {
  const uint64_t a = vm_fusion_state_create_v1();
  const uint64_t b = vm_fusion_state_create_v1();
  EXPECT_GE(a, 1000000u);
  EXPECT_EQ(b, a + 1);
  EXPECT_EQ(vm_fusion_state_free_v1(a), 1);
  EXPECT_EQ(vm_fusion_state_free_v1(a), 0);
  EXPECT_EQ(vm_fusion_state_free_v1(0), 0);
  EXPECT_EQ(vm_fusion_state_free_v1(b + 1000), 0) << "never created";
  const Record r = apply_record(7, false, kSig, {"5"});
  EXPECT_EQ(call(vm_fusion_state_apply_v1, a, r).result, 0) << "freed handle";
  EXPECT_EQ(vm_fusion_state_create_v1(), b + 1) << "numbers are never reused";
  EXPECT_EQ(vm_fusion_state_free_v1(b), 1);
  EXPECT_EQ(vm_fusion_state_free_v1(b + 1), 1);
}

TEST(FusionStateExports, ApplyAnswersTheDecisionByTheResultBufferRule) {
  // Provenance: the fusion-state apply example; the work stands even when the answer
  // does not fit, so the retry finds the template known and answers a heartbeat.
  State s;
  const Record r = apply_record(7, false, kSig, {"5"});
  const Answer short_buffer = call(vm_fusion_state_apply_v1, s.handle, r, 9);
  EXPECT_EQ(short_buffer.result, -10);
  EXPECT_TRUE(short_buffer.junk_intact);
  const Answer retry = call(vm_fusion_state_apply_v1, s.handle, r, 10);
  EXPECT_EQ(retry.result, 10);
  EXPECT_EQ(retry.bytes, bytes({0x7F, 0, 0, 0, 0x18, 0x00, 0, 0, 0, 0}));
  EXPECT_TRUE(retry.junk_intact);

  State fresh;
  const Answer first = call(vm_fusion_state_apply_v1, fresh.handle, r);
  EXPECT_EQ(first.result, 10);
  EXPECT_EQ(first.bytes, bytes({0x3F, 0, 0, 0, 0x18, 0x07, 0, 0, 0, 0}));
  EXPECT_TRUE(first.junk_intact);
  EXPECT_EQ(vm_fusion_state_apply_v1(fresh.handle, r.data(), r.size(), nullptr, 100), -10);

  const Answer diff = call(vm_fusion_state_apply_v1, fresh.handle, apply_record(7, false, kSig, {"6"}));
  EXPECT_EQ(diff.bytes, bytes({0xAA, 0, 0, 0, 0x18, 0x02, 0, 0, 0, 3, 0x01, 0x01, '6'}));
}

TEST(FusionStateExports, RefusalsAnswerZero) {
  State s;
  const Record apply = apply_record(7, false, kSig, {"5"});
  const Record receive = receive_record(7, 127, 24, "T", "");
  const Record seed = seed_record(7, 24, kSig, {"5"});
  uint8_t out[64];
  for (uint64_t h : {uint64_t{0}, s.handle + 1000}) {
    EXPECT_EQ(vm_fusion_state_apply_v1(h, apply.data(), apply.size(), out, sizeof out), 0) << h;
    EXPECT_EQ(vm_fusion_state_receive_apply_v1(h, receive.data(), receive.size(), out, sizeof out), 0) << h;
    EXPECT_EQ(vm_fusion_state_seed_v1(h, seed.data(), seed.size()), 0) << h;
  }
  EXPECT_EQ(vm_fusion_state_apply_v1(s.handle, nullptr, apply.size(), out, sizeof out), 0);
  EXPECT_EQ(vm_fusion_state_apply_v1(s.handle, apply.data(), 0, out, sizeof out), 0);
  EXPECT_EQ(vm_fusion_state_receive_apply_v1(s.handle, nullptr, receive.size(), out, sizeof out), 0);
  EXPECT_EQ(vm_fusion_state_receive_apply_v1(s.handle, receive.data(), 0, out, sizeof out), 0);
  EXPECT_EQ(vm_fusion_state_seed_v1(s.handle, nullptr, seed.size()), 0);
  EXPECT_EQ(vm_fusion_state_seed_v1(s.handle, seed.data(), 0), 0);
  // A template that is not known yet cannot be received.
  EXPECT_EQ(call(vm_fusion_state_receive_apply_v1, s.handle, receive).result, 0);
  // A changed value of 256 bytes gets no decision.
  ASSERT_EQ(call(vm_fusion_state_apply_v1, s.handle, apply).result, 10);
  EXPECT_EQ(call(vm_fusion_state_apply_v1, s.handle, apply_record(7, false, kSig, {std::string(256, 'v')})).result, 0);
}

TEST(FusionStateExports, MalformedRecordsAreRefusedWholeAndChangeNothing) {
  State s;
  const Record apply = apply_record(7, false, kSig, {"5", "6"});
  const Record seed = Record{}.u32(7).u32(2).u32(30).str(kSig).strs({"5"}).u32(31).str("y.{TS}|").strs({});
  const Record receive = receive_record(7, 127, 24, "T", "");
  // Each record cut at every length, and with one byte too many.
  auto refused = [&](const Record& r, int kind) {
    switch (kind) {
      case 0: return call(vm_fusion_state_apply_v1, s.handle, r).result == 0;
      case 1: return call(vm_fusion_state_receive_apply_v1, s.handle, r).result == 0;
      default: return vm_fusion_state_seed_v1(s.handle, r.data(), r.size()) == 0;
    }
  };
  int kind = 0;
  for (const Record* r : {&apply, &receive, &seed}) {
    for (std::size_t len = 1; len < r->size(); ++len) {
      EXPECT_TRUE(refused(Record{r->bytes.substr(0, len)}, kind)) << "record " << kind << " cut to " << len;
    }
    EXPECT_TRUE(refused(Record{r->bytes + "!"}, kind)) << "record " << kind << " with a trailing byte";
    ++kind;
  }
  // Counts that the record cannot hold are refused without reserving room for them.
  const Record many_values = Record{}.u32(7).u8(0).str(kSig).u32(0xFFFFFFFF).str("5");
  const Record many_templates = Record{}.u32(7).u32(0xFFFFFFFF).u32(24).str(kSig).strs({"5"});
  EXPECT_EQ(call(vm_fusion_state_apply_v1, s.handle, many_values).result, 0);
  EXPECT_EQ(vm_fusion_state_seed_v1(s.handle, many_templates.data(), many_templates.size()), 0);

  // Nothing was registered or seeded: the first good apply meets a new device.
  const Answer first = call(vm_fusion_state_apply_v1, s.handle, apply);
  EXPECT_EQ(first.bytes, bytes({0x3F, 0, 0, 0, 0x18, 0x07, 0, 0, 0, 0}));
}

TEST(FusionStateExports, SeedReplacesTheDeviceWhole) {
  State s;
  ASSERT_EQ(call(vm_fusion_state_apply_v1, s.handle, apply_record(7, false, kSig, {"5"})).result, 10);
  ASSERT_EQ(call(vm_fusion_state_apply_v1, s.handle, apply_record(8, false, kSig, {"5"})).result, 10);
  const Record empty = Record{}.u32(7).u32(0);
  ASSERT_EQ(vm_fusion_state_seed_v1(s.handle, empty.data(), empty.size()), 1);
  // Device 7 starts again from template 1; device 8 is untouched.
  const Decision d7 = parse_decision(call(vm_fusion_state_apply_v1, s.handle, apply_record(7, false, kSig, {"5"})).bytes);
  EXPECT_EQ(d7.command, 0x3F);
  EXPECT_EQ(d7.tid, 1u);
  EXPECT_EQ(d7.flags, 7);
  const Decision d8 = parse_decision(call(vm_fusion_state_apply_v1, s.handle, apply_record(8, false, kSig, {"5"})).bytes);
  EXPECT_EQ(d8.command, 0x7F);
  EXPECT_EQ(d8.tid, 24u);
}

TEST(FusionStateExports, ReceiveApplyRebuildsTheFact) {
  // Provenance: the receive-apply example, template 'd1.{TS}|t>\x01:\x01|' with ('ok', '42').
  State s;
  const Record seed = seed_record(9, 24, "d1.{TS}|t>\x01:\x01|", {"ok", "42"});
  ASSERT_EQ(vm_fusion_state_seed_v1(s.handle, seed.data(), seed.size()), 1);
  static const struct { uint8_t command; std::string body; int32_t result; std::string text; } kSteps[] = {
      {127, "", 20, "d1.AAAAAAAB|t>ok:42|"},
      {171, "\x02\x02" "43", 0, ""},  // secure variants are not taken here
      {128, "", 0, ""},
      {63, "", 0, ""},
      {170, "\x02\x05" "43", 0, ""},  // change runs past the body
      {170, "\x02\x02" "43", 20, "d1.AAAAAAAB|t>ok:43|"},
      {127, "", 20, "d1.AAAAAAAB|t>ok:43|"},
  };
  for (const auto& step : kSteps) {
    const Answer a = call(vm_fusion_state_receive_apply_v1, s.handle,
                          receive_record(9, step.command, 24, "AAAAAAAB", step.body));
    EXPECT_EQ(a.result, step.result) << int(step.command);
    EXPECT_EQ(a.bytes, step.text) << int(step.command);
    EXPECT_TRUE(a.junk_intact);
  }
  const Record hb = receive_record(9, 127, 24, "AAAAAAAB", "");
  EXPECT_EQ(vm_fusion_state_receive_apply_v1(s.handle, hb.data(), hb.size(), nullptr, 0), -20);
}

TEST(FusionStateExports, SenderAndReceiverHandlesInLockStep) {
  State sender, receiver;
  const std::string sig = "dev.{TS}|t>\x01:\x01|h>\x01:\x01|";
  const std::vector<Values> facts = {
      {"0.c1", "yG", "0.m/s2", "q0U"}, {"0.c1", "yG", "0.m/s2", "q0U"}, {"0.c1", "yH", "0.m/s2", "q0U"},
      {"0.c1", "yH", "0.m/s2", ""},    {"1.c1", "z", "0.m/s2", "q0V"},  {"1.c1", "z", "0.m/s2", "q0V"},
  };
  const uint8_t expected_commands[] = {0x3F, 0x7F, 0xAA, 0xAA, 0xAA, 0x7F};
  for (std::size_t i = 0; i < facts.size(); ++i) {
    const Values& v = facts[i];
    const Decision d = parse_decision(call(vm_fusion_state_apply_v1, sender.handle, apply_record(5, false, sig, v)).bytes);
    EXPECT_EQ(d.command, expected_commands[i]) << i;
    const std::string text = "dev.AYvP5WgA|t>" + v[0] + ":" + v[1] + "|h>" + v[2] + ":" + v[3] + "|";
    if (d.command == 0x3F) {
      const Record seed = seed_record(5, d.tid, sig, v);
      ASSERT_EQ(vm_fusion_state_seed_v1(receiver.handle, seed.data(), seed.size()), 1);
    } else {
      const Answer a = call(vm_fusion_state_receive_apply_v1, receiver.handle,
                            receive_record(5, d.command, d.tid, "AYvP5WgA", d.body));
      EXPECT_EQ(a.bytes, text) << i;
    }
  }
}

}  // namespace
