#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fusion/template_model.h"

namespace vm {
namespace {

constexpr std::uint32_t kMax = 0xFFFFFFFF;

TemplateId tid_of(const DeviceTemplates& d, std::string_view sig) {
  const auto it = d.sig_to_tid.find(sig);
  EXPECT_NE(it, d.sig_to_tid.end()) << "no template for " << sig;
  return it == d.sig_to_tid.end() ? TemplateId{0} : it->second;
}

TEST(TemplateNumbering, NewDevicesCountFrom24AndKnownSignaturesKeepTheirNumber) {
  TemplateRegistry registry;
  EXPECT_EQ(find_device(registry, DeviceId{5}), nullptr);
  DeviceTemplates& d = device_for(registry, DeviceId{5});
  EXPECT_EQ(d.next_tid, 24u);
  EXPECT_EQ(&device_for(registry, DeviceId{5}), &d);

  static const struct { std::string_view sig; std::uint32_t tid; bool is_new; } kSteps[] = {
      {"a.{TS}|\x01|", 24, true},
      {"a.{TS}|\x02|", 25, true},   // differs in one byte: another template
      {"a.{TS}|\x01|", 24, false},
      {std::string_view("a.{TS}|\0|", 9), 26, true},  // embedded NUL is an ordinary byte
      {"a.{TS}|\xff|", 27, true},
      {"a.{TS}|\x02|", 25, false},
  };
  for (const auto& s : kSteps) {
    const AssignedTemplate t = assign_tid(d, s.sig);
    EXPECT_EQ(raw(t.tid), s.tid) << s.sig;
    EXPECT_EQ(t.is_new, s.is_new) << s.sig;
    EXPECT_EQ(d.tid_to_sig.at(t.tid), s.sig);
  }
  EXPECT_EQ(d.next_tid, 28u);
  EXPECT_TRUE(d.last_vals.empty()) << "numbering stores no values";
}

TEST(TemplateNumbering, SaturatedCounterHandsOverTheLastNumberAndForgetsItsOwner) {
  DeviceTemplates d;
  d.next_tid = kMax - 1;
  EXPECT_EQ(raw(assign_tid(d, "A").tid), kMax - 1);
  EXPECT_EQ(raw(assign_tid(d, "B").tid), kMax);
  EXPECT_EQ(d.next_tid, kMax);
  const AssignedTemplate c = assign_tid(d, "C");
  EXPECT_EQ(raw(c.tid), kMax);
  EXPECT_TRUE(c.is_new);
  EXPECT_EQ(d.next_tid, kMax) << "saturates, never wraps to 0";
  EXPECT_EQ(d.tid_to_sig.at(TemplateId{kMax}), "C");
  // B no longer names a template of its own: it must come back as new, not as C's number.
  EXPECT_FALSE(d.sig_to_tid.contains("B"));
  EXPECT_TRUE(assign_tid(d, "B").is_new);
  EXPECT_FALSE(d.sig_to_tid.contains("C"));
  EXPECT_EQ(raw(tid_of(d, "A")), kMax - 1);
}

TEST(LearnTemplate, ReplacesAndRaisesNextTid) {
  // Provenance: the learning rules for full packets, next_tid = max(next_tid, tid + 1).
  static const struct { std::uint32_t learnt; std::uint32_t next_before, next_after; } kCases[] = {
      {40, 24, 41}, {10, 24, 24}, {23, 24, 24}, {24, 24, 25}, {kMax, 24, kMax}, {kMax - 1, 24, kMax},
  };
  for (const auto& c : kCases) {
    DeviceTemplates d;
    d.next_tid = c.next_before;
    learn_template(d, TemplateId{c.learnt}, "s", {"v"});
    raise_next_tid(d, TemplateId{c.learnt});
    EXPECT_EQ(d.next_tid, c.next_after) << c.learnt;
    EXPECT_EQ(raw(tid_of(d, "s")), c.learnt);
    EXPECT_EQ(d.last_vals.at(TemplateId{c.learnt}), std::vector<std::string>{"v"});
  }
}

TEST(LearnTemplate, ASignatureMovedToAnotherNumberKeepsItsOldEntries) {
  DeviceTemplates d;
  learn_template(d, TemplateId{30}, "A", {"1"});
  learn_template(d, TemplateId{31}, "A", {"2"});
  EXPECT_EQ(raw(tid_of(d, "A")), 31u);
  EXPECT_EQ(d.tid_to_sig.at(TemplateId{30}), "A");
  EXPECT_EQ(d.last_vals.at(TemplateId{30}), std::vector<std::string>{"1"});
  // Template 30 now goes to B; A still points at 31 and must stay there.
  learn_template(d, TemplateId{30}, "B", {"3"});
  EXPECT_EQ(raw(tid_of(d, "A")), 31u);
  EXPECT_EQ(raw(tid_of(d, "B")), 30u);
}

TEST(LearnTemplate, ASignatureWhoseNumberIsTakenOverIsForgotten) {
  // Left in place, A would map to template 30, whose signature and values are now B's.
  DeviceTemplates d;
  learn_template(d, TemplateId{30}, "A", {"1"});
  learn_template(d, TemplateId{30}, "B", {"2"});
  EXPECT_FALSE(d.sig_to_tid.contains("A"));
  EXPECT_EQ(d.tid_to_sig.at(TemplateId{30}), "B");
  EXPECT_EQ(d.last_vals.at(TemplateId{30}), std::vector<std::string>{"2"});
  EXPECT_EQ(d.sig_to_tid.size(), 1u);
}

// assign_tid remembers the last signature it met; every way a signature can lose or
// change its number must show in the next assign_tid of that signature.
TEST(TemplateNumbering, TheLastSignatureMetFollowsEveryRebinding) {
  DeviceTemplates d;
  EXPECT_EQ(raw(assign_tid(d, "A").tid), 24u);
  learn_template(d, TemplateId{24}, "B", {"1"});  // 24 now belongs to B; A is forgotten
  const AssignedTemplate a = assign_tid(d, "A");
  EXPECT_TRUE(a.is_new);
  EXPECT_EQ(raw(a.tid), 25u);
  learn_template(d, TemplateId{40}, "A", {"2"});  // A moves to 40
  EXPECT_EQ(raw(assign_tid(d, "A").tid), 40u);
  EXPECT_FALSE(assign_tid(d, "A").is_new);

  DeviceTemplates s;
  s.next_tid = kMax;
  EXPECT_EQ(raw(assign_tid(s, "X").tid), kMax);
  EXPECT_EQ(raw(assign_tid(s, "Y").tid), kMax);  // takes X's number
  EXPECT_TRUE(assign_tid(s, "X").is_new);
}

TEST(LearnTemplate, FromViewsReplacesTheValuesWholeLikeTheCopyingForm) {
  DeviceTemplates by_views, by_copies;
  for (const std::vector<std::string>& values :
       {std::vector<std::string>{"1", "22", std::string(40, 'x')}, {"y"}, {}, {"a", "b"}}) {
    const std::vector<std::string_view> views(values.begin(), values.end());
    learn_template_from_views(by_views, TemplateId{30}, "S", views);
    learn_template(by_copies, TemplateId{30}, "S", values);
    EXPECT_EQ(by_views.last_vals, by_copies.last_vals);
  }
  learn_template_from_views(by_views, TemplateId{30}, "T", std::vector<std::string_view>{"z"});
  EXPECT_FALSE(by_views.sig_to_tid.contains("S"));
  EXPECT_EQ(raw(tid_of(by_views, "T")), 30u);
}

TEST(SeedDevice, NextTidAndReplacement) {
  static const struct {
    const char* note;
    std::vector<std::uint32_t> tids;
    std::uint32_t next_tid;
  } kCases[] = {
      {"empty list: no floor of 24", {}, 1},
      {"largest tid + 1, in any order", {30, 26}, 31},
      {"below 24 is kept", {3}, 4},
      {"saturates", {kMax}, kMax},
      {"zero", {0}, 1},
  };
  for (const auto& c : kCases) {
    TemplateRegistry registry;
    std::vector<SeedEntry> entries;
    for (std::uint32_t t : c.tids) entries.push_back({TemplateId{t}, "sig" + std::to_string(t), {"v"}});
    seed_device(registry, DeviceId{7}, entries);
    const DeviceTemplates* d = find_device(registry, DeviceId{7});
    ASSERT_NE(d, nullptr) << c.note;
    EXPECT_EQ(d->next_tid, c.next_tid) << c.note;
    EXPECT_EQ(d->tid_to_sig.size(), c.tids.size()) << c.note;
  }
}

TEST(SeedDevice, EmptySeedDiscardsTheDeviceAndNumbersFromOne) {
  TemplateRegistry registry;
  assign_tid(device_for(registry, DeviceId{7}), "old");
  seed_device(registry, DeviceId{7}, {});
  DeviceTemplates& d = device_for(registry, DeviceId{7});
  EXPECT_TRUE(d.sig_to_tid.empty());
  EXPECT_TRUE(d.tid_to_sig.empty());
  EXPECT_EQ(raw(assign_tid(d, "new").tid), 1u);
}

TEST(SeedDevice, LaterEntriesReplaceEarlierOnes) {
  const DeviceTemplates d = seeded_device({
      {TemplateId{30}, "A", {"a"}},
      {TemplateId{30}, "B", {"b"}},       // same tid: B replaces A entirely
      {TemplateId{26}, "C", {"c1"}},
      {TemplateId{27}, "C", {"c2"}},      // same sig: C moves to 27
  });
  EXPECT_FALSE(d.sig_to_tid.contains("A"));
  EXPECT_EQ(d.tid_to_sig.at(TemplateId{30}), "B");
  EXPECT_EQ(d.last_vals.at(TemplateId{30}), std::vector<std::string>{"b"});
  EXPECT_EQ(raw(d.sig_to_tid.find(std::string_view("C"))->second), 27u);
  EXPECT_EQ(d.next_tid, 31u);
}

}  // namespace
}  // namespace vm
