#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fusion/packet_encoder.h"
#include "fusion_test_support.h"
#include "wire/command.h"

namespace vm {
namespace {

using testing::hex;
using testing::views;
using Values = std::vector<std::string>;

constexpr DeviceId kAid{7};
constexpr std::string_view kSig = "dev.{TS}|s>\x01:\x01|";

Values numbered(std::size_t n) {
  Values v;
  for (std::size_t i = 0; i < n; ++i) v.push_back("v" + std::to_string(i));
  return v;
}
Values with(Values v, std::size_t i, std::string value) {
  v[i] = std::move(value);
  return v;
}

// A registry whose device 7 already holds kSig as template 24 with `stored` values.
TemplateRegistry known(const Values& stored) {
  TemplateRegistry r;
  DeviceTemplates& d = device_for(r, kAid);
  learn_template(d, TemplateId{24}, kSig, stored);
  raise_next_tid(d, TemplateId{24});
  return r;
}

TEST(Encoder, DecisionTable) {
  // Provenance: the encoder's decision table and its worked examples, plus the repaired
  // cases (new signature without values, more than 128 values, refusals that commit).
  const Values kNoneYet{};
  static const std::string k255(255, 'x'), k256(256, 'x');
  const struct {
    const char* note;
    std::optional<Values> stored;  // nullopt: the signature is new to the device
    bool force_full;
    Values fact;
    std::optional<std::uint8_t> command;  // nullopt: no decision
    std::uint8_t flags;
    std::string body;
    Values stored_after;
  } kCases[] = {
      {"first fact of a new device", std::nullopt, false, {"a", "b"}, DATA_FULL, 7, "", {"a", "b"}},
      {"same fact again", Values{"a", "b"}, false, {"a", "b"}, DATA_HEART, 0, "", {"a", "b"}},
      {"same fact, forced", Values{"a", "b"}, true, {"a", "b"}, DATA_FULL, 4, "", {"a", "b"}},
      {"changed fact, forced", Values{"a", "b"}, true, {"a", "c"}, DATA_FULL, 6, "", {"a", "c"}},
      {"count grows", Values{"a", "b"}, false, {"a", "b", "c"}, DATA_FULL, 6, "", {"a", "b", "c"}},
      {"count shrinks to none", Values{"a", "b"}, false, {}, DATA_FULL, 6, "", {}},
      {"one change", Values{"1", "2", "3"}, false, {"1", "5", "3"}, DATA_DIFF, 2, hex("02 01 35"), {"1", "5", "3"}},
      {"nine values, 0 and 8 change", numbered(9), false, with(with(numbered(9), 0, "x"), 8, "y"),
       DATA_DIFF, 2, hex("01 01 01 78 01 79"), with(with(numbered(9), 0, "x"), 8, "y")},
      {"shrinks to empty", Values{"a", "b"}, false, {"", "b"}, DATA_DIFF, 2, hex("01 00"), {"", "b"}},
      {"255 bytes are sent", Values{"a"}, false, {k255}, DATA_DIFF, 2, hex("01 ff") + k255, {k255}},
      {"256 bytes: no decision, nothing stored", Values{"a"}, false, {k256}, std::nullopt, 0, "", {"a"}},
      {"256 bytes forced", Values{"a"}, true, {k256}, DATA_FULL, 6, "", {k256}},
      {"refused after an earlier change: nothing stored", Values{"a", "b"}, false, {"z", k256},
       std::nullopt, 0, "", {"a", "b"}},
      {"known, no values", kNoneYet, false, {}, DATA_HEART, 0, "", {}},
      {"new signature without values travels whole", std::nullopt, false, {}, DATA_FULL, 5, "", {}},
      {"128 values, last one changes", numbered(128), false, with(numbered(128), 127, "z"),
       DATA_DIFF, 2, hex("80") + std::string(15, '\0') + hex("01 7a"), with(numbered(128), 127, "z")},
      {"129 values, unchanged", numbered(129), false, numbered(129), DATA_HEART, 0, "", numbered(129)},
      {"129 values, value 0 changes: whole", numbered(129), false, with(numbered(129), 0, "z"),
       DATA_FULL, 6, "", with(numbered(129), 0, "z")},
      {"200 values, value 150 changes: whole", numbered(200), false, with(numbered(200), 150, k256),
       DATA_FULL, 6, "", with(numbered(200), 150, k256)},
  };
  for (const auto& c : kCases) {
    TemplateRegistry r = c.stored ? known(*c.stored) : TemplateRegistry{};
    const auto fact = views(c.fact);
    const auto d = encode(r, kAid, c.force_full, kSig, fact);
    ASSERT_EQ(d.has_value(), c.command.has_value()) << c.note;
    if (d) {
      EXPECT_EQ(d->command, *c.command) << c.note;
      EXPECT_EQ(raw(d->tid), 24u) << c.note;
      EXPECT_EQ(d->flags, c.flags) << c.note;
      EXPECT_EQ(d->body, c.body) << c.note;
    }
    EXPECT_EQ(device_for(r, kAid).last_vals.at(TemplateId{24}), c.stored_after) << c.note;
  }
}

TEST(Encoder, SequenceOnOneDevice) {
  TemplateRegistry r;
  const Values ab{"a", "b"};
  const auto d1 = encode(r, kAid, false, kSig, views(ab));
  const auto d2 = encode(r, kAid, false, "dev.{TS}|t>\x01:\x01|", views(ab));
  const auto d3 = encode(r, kAid, false, kSig, views(ab));
  const auto d4 = encode(r, DeviceId{8}, false, kSig, views(ab));
  ASSERT_TRUE(d1 && d2 && d3 && d4);
  EXPECT_EQ(raw(d1->tid), 24u);
  EXPECT_EQ(raw(d2->tid), 25u);
  EXPECT_EQ(d2->flags, 7);
  EXPECT_EQ(raw(d3->tid), 24u);
  EXPECT_EQ(d3->command, DATA_HEART);
  EXPECT_EQ(raw(d4->tid), 24u) << "each device numbers its own templates";
  EXPECT_EQ(d4->command, DATA_FULL);
}

TEST(Encoder, SignatureWhoseNumberWasTakenOverIsSentWhole) {
  // Seeded with template 30 = A, then 30 = B (the later entry wins). Encoding A must not
  // produce a heartbeat or difference under 30, which the receiver rebuilds with B.
  TemplateRegistry r;
  seed_device(r, kAid, {{TemplateId{30}, "A.{TS}|\x01|", {"1"}}, {TemplateId{30}, "B.{TS}|\x01|", {"1"}}});
  const Values one{"1"};
  const auto d = encode(r, kAid, false, "A.{TS}|\x01|", views(one));
  ASSERT_TRUE(d);
  EXPECT_EQ(d->command, DATA_FULL);
  EXPECT_EQ(raw(d->tid), 31u);
  EXPECT_EQ(d->flags, 7);
}

TEST(Encoder, SaturatedNumberAlternatingBetweenSignaturesIsAlwaysWhole) {
  TemplateRegistry r;
  device_for(r, kAid).next_tid = 0xFFFFFFFF;
  const Values same{"v"};
  for (int round = 0; round < 3; ++round) {
    for (std::string_view sig : {"A.{TS}|\x01|", "B.{TS}|\x01|"}) {
      const auto d = encode(r, kAid, false, sig, views(same));
      ASSERT_TRUE(d);
      EXPECT_EQ(d->command, DATA_FULL) << sig << " round " << round;
      EXPECT_EQ(raw(d->tid), 0xFFFFFFFFu);
    }
  }
}

TEST(DecisionBytes, LayoutAndReadBack) {
  const FusionDecision d{DATA_DIFF, TemplateId{24}, 2, hex("02 01 35 ff")};
  std::string out = "junk";
  append_decision_bytes(out, d);
  EXPECT_EQ(out, "junk" + hex("aa 00000018 02 00000004 02 01 35 ff"));

  const std::string bytes = out.substr(4);
  const auto back = read_decision(as_bytes(bytes));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->command, 0xAA);
  EXPECT_EQ(raw(back->tid), 24u);
  EXPECT_EQ(back->flags, 2);
  EXPECT_EQ(back->body, d.body);

  std::string full;
  append_decision_bytes(full, {DATA_FULL, TemplateId{0x01020304}, 7, {}});
  EXPECT_EQ(full, hex("3f 01020304 07 00000000"));
}

TEST(DecisionBytes, ReaderBounds) {
  static const struct { const char* note; const char* bytes; bool accepted; std::size_t body; } kCases[] = {
      {"header only", "7f 00000018 00 00000000", true, 0},
      {"nine bytes", "7f 00000018 00 000000", false, 0},
      {"body cut short", "aa 00000018 02 00000003 0102", false, 0},
      {"exact body", "aa 00000018 02 00000003 010203", true, 3},
      {"trailing bytes ignored", "aa 00000018 02 00000001 01 ffff", true, 1},
      {"huge length", "aa 00000018 02 ffffffff 01", false, 0},
      {"empty", "", false, 0},
  };
  for (const auto& c : kCases) {
    const std::string bytes = hex(c.bytes);
    const auto d = read_decision(as_bytes(bytes));
    EXPECT_EQ(d.has_value(), c.accepted) << c.note;
    if (d) {
      EXPECT_EQ(d->body.size(), c.body) << c.note;
    }
  }
}

}  // namespace
}  // namespace vm
