// Numbering for packets: template numbers stay within the one byte a packet carries by
// handing the least recently used template's number to a new signature, and templates
// loaded from a file travel whole the first time they are sent again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fusion/packet_encoder.h"
#include "wire/command.h"

namespace vm {
namespace {

constexpr DeviceId kAid{9};

struct Sent {
  std::uint8_t command;
  std::uint32_t tid;
  std::uint8_t flags;
};

Sent send(TemplateRegistry& r, std::string_view sig, std::string_view value = "v",
          EncodeFor target = EncodeFor::packet) {
  const std::string_view values[] = {value};
  std::string body;
  const auto d = encode_into(r, kAid, false, sig, values, body, target);
  EXPECT_TRUE(d.has_value()) << sig;
  return d ? Sent{d->command, raw(d->tid), d->flags} : Sent{0, 0, 0};
}

std::string sig_of(int i) { return "s" + std::to_string(i) + ".{TS}|t>\x01:\x01|"; }

TEST(PacketNumbering, LeastRecentlyUsedTemplateGivesItsNumberToANewSignature) {
  TemplateRegistry r;
  for (int i = 0; i < 232; ++i) ASSERT_EQ(send(r, sig_of(i)).tid, 24u + i);  // 24 .. 255
  EXPECT_EQ(send(r, sig_of(0)).command, DATA_HEART) << "s0 used again: now the most recent";

  const Sent fresh = send(r, "moved.{TS}|t>\x01:\x01|", "w");
  EXPECT_EQ(fresh.tid, 25u) << "s1 is the least recently used";
  EXPECT_EQ(fresh.command, DATA_FULL);
  EXPECT_EQ(fresh.flags, DECISION_NEW_TEMPLATE | DECISION_STATE_CHANGED | DECISION_FULL_BODY);

  const DeviceTemplates& d = *find_device(r, kAid);
  EXPECT_FALSE(d.sig_to_tid.contains(sig_of(1))) << "the old signature is forgotten";
  EXPECT_EQ(d.tid_to_sig.at(TemplateId{25}), "moved.{TS}|t>\x01:\x01|");
  EXPECT_EQ(d.tid_to_sig.size(), 232u);
  EXPECT_EQ(d.last_vals.at(TemplateId{25}), std::vector<std::string>({"w"}));

  const Sent back = send(r, sig_of(1));
  EXPECT_EQ(back.tid, 26u) << "s1 comes back as a new signature";
  EXPECT_EQ(back.flags & DECISION_NEW_TEMPLATE, DECISION_NEW_TEMPLATE);
  EXPECT_EQ(send(r, sig_of(0)).tid, 24u) << "a recently used template keeps its number";
}

// After a load no template has been used: they give way in ascending number. Numbers that
// an older file left free are taken first, and a signature held above 255 moves below.
TEST(PacketNumbering, LoadedTemplatesRankByNumberAndFreeNumbersComeFirst) {
  TemplateRegistry r;
  DeviceTemplates& d = device_for(r, kAid);
  for (std::uint32_t tid : {200u, 24u, 100u}) learn_template(d, TemplateId{tid}, sig_of(static_cast<int>(tid)), {"v"});
  learn_template(d, TemplateId{300}, "high.{TS}|t>\x01:\x01|", {"v"});
  d.next_tid = 301;
  mark_loaded(d);

  EXPECT_EQ(send(r, "a.{TS}|t>\x01:\x01|").tid, 25u) << "the smallest free number";
  const Sent high = send(r, "high.{TS}|t>\x01:\x01|");
  EXPECT_EQ(high.tid, 26u);
  EXPECT_EQ(high.flags & DECISION_NEW_TEMPLATE, DECISION_NEW_TEMPLATE);
  EXPECT_FALSE(d.tid_to_sig.contains(TemplateId{300}));

  for (std::uint32_t tid = 27; tid <= 255; ++tid) {
    if (tid == 100 || tid == 200) continue;
    ASSERT_EQ(send(r, sig_of(1000 + static_cast<int>(tid))).tid, tid);
  }
  EXPECT_EQ(send(r, "b.{TS}|t>\x01:\x01|").tid, 24u) << "loaded and unused: the smallest number goes first";
  EXPECT_EQ(send(r, "c.{TS}|t>\x01:\x01|").tid, 100u);
  EXPECT_EQ(send(r, "d.{TS}|t>\x01:\x01|").tid, 200u);
  EXPECT_EQ(send(r, "e.{TS}|t>\x01:\x01|").tid, 25u) << "then the oldest use";
}

// The numbers new signatures take after a device's file is loaded: the file's largest
// number + 1 while that is at most 255, then free numbers from 24, then the least recently
// used template's (a number below 24 from an old file among them).
TEST(PacketNumbering, NumbersAfterALoadedFile) {
  const auto range = [](std::uint32_t first, std::uint32_t last) {
    std::vector<std::uint32_t> v;
    for (std::uint32_t tid = first; tid <= last; ++tid) v.push_back(tid);
    return v;
  };
  std::vector<std::uint32_t> old_low = range(24, 255);
  old_low.push_back(5);
  const struct {
    const char* name;
    std::vector<std::uint32_t> file;
    std::vector<std::uint32_t> new_numbers;  // for three new signatures in turn
  } kCases[] = {
      {"a gap is not filled while numbers last", {24, 30}, {31, 32, 33}},
      {"up to 255, then the least recently used", range(24, 254), {255, 24, 25}},
      {"free numbers once past 255", {24, 30, 255}, {25, 26, 27}},
      {"a number below 24 is recycled first", old_low, {5, 24, 25}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TemplateRegistry r;
    DeviceTemplates& d = device_for(r, kAid);
    for (std::uint32_t tid : c.file) {
      learn_template(d, TemplateId{tid}, sig_of(static_cast<int>(tid)), {"v"});
      raise_next_tid(d, TemplateId{tid});
    }
    mark_loaded(d);
    std::vector<std::uint32_t> got;
    for (int i = 0; i < 3; ++i) got.push_back(send(r, sig_of(10000 + i)).tid);
    EXPECT_EQ(got, c.new_numbers);
  }
}

TEST(PacketNumbering, LoadedTemplateTravelsWholeOnceThenAsUsual) {
  TemplateRegistry r;
  DeviceTemplates& d = device_for(r, kAid);
  learn_template(d, TemplateId{24}, sig_of(0), {"v"});
  mark_loaded(d);
  TemplateRegistry state_registry = r;

  const Sent first = send(r, sig_of(0));
  EXPECT_EQ(first.command, DATA_FULL);
  EXPECT_EQ(first.flags, DECISION_FULL_BODY) << "same values: nothing to save";
  EXPECT_EQ(send(r, sig_of(0)).command, DATA_HEART);

  // A fusion-state handle keeps its decisions as they were.
  EXPECT_EQ(send(state_registry, sig_of(0), "v", EncodeFor::fusion_state).command, DATA_HEART);
}

TEST(PacketNumbering, FusionStatesKeepNumberingAbove255) {
  TemplateRegistry r;
  device_for(r, kAid).next_tid = 255;
  EXPECT_EQ(send(r, "a.{TS}|t>\x01:\x01|", "v", EncodeFor::fusion_state).tid, 255u);
  EXPECT_EQ(send(r, "b.{TS}|t>\x01:\x01|", "v", EncodeFor::fusion_state).tid, 256u);
}

}  // namespace
}  // namespace vm
