#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fusion/packet_decoder.h"
#include "fusion_test_support.h"
#include "wire/command.h"

namespace vm {
namespace {

using testing::hex;
using Values = std::vector<std::string>;

constexpr DeviceId kAid{7};
constexpr TemplateId kTid{24};
constexpr std::string_view kSig = "d1.{TS}|t>\x01:\x01|";
constexpr std::string_view kTs = "AAAAAAAB";
const std::string kJunk = "junk";

TemplateRegistry learnt(std::string_view sig, const Values& values) {
  TemplateRegistry r;
  learn_template(device_for(r, kAid), kTid, sig, values);
  return r;
}

const Values& stored(TemplateRegistry& r) { return device_for(r, kAid).last_vals.at(kTid); }

TEST(ReceiveApply, PacketTable) {
  // Provenance: the receive-apply examples (template 'd1.{TS}|t>\x01:\x01|' holding
  // ('ok', '42')), plus the bounds of a difference body.
  static const struct {
    const char* note;
    std::uint8_t command;
    const char* body;  // hex
    std::optional<std::string_view> text;
    Values after;
  } kCases[] = {
      {"heartbeat", DATA_HEART, "", "d1.AAAAAAAB|t>ok:42|", {"ok", "42"}},
      {"heartbeat ignores its body", DATA_HEART, "02 05", "d1.AAAAAAAB|t>ok:42|", {"ok", "42"}},
      {"value 1 changes", DATA_DIFF, "02 02 3433", "d1.AAAAAAAB|t>ok:43|", {"ok", "43"}},
      {"both change", DATA_DIFF, "03 01 61 00", "d1.AAAAAAAB|t>a:|", {"a", ""}},
      {"empty mask", DATA_DIFF, "00", "d1.AAAAAAAB|t>ok:42|", {"ok", "42"}},
      {"mask bits past the values are ignored", DATA_DIFF, "fd 01 7a", "d1.AAAAAAAB|t>z:42|", {"z", "42"}},
      {"bytes after the last change are ignored", DATA_DIFF, "01 01 7a 0909", "d1.AAAAAAAB|t>z:42|", {"z", "42"}},
      {"no mask", DATA_DIFF, "", std::nullopt, {"ok", "42"}},
      {"length byte beyond the body", DATA_DIFF, "02 05 3433", std::nullopt, {"ok", "42"}},
      {"length byte missing", DATA_DIFF, "02", std::nullopt, {"ok", "42"}},
      {"second change missing: the first is not applied", DATA_DIFF, "03 01 7a", std::nullopt, {"ok", "42"}},
      {"second change cut short", DATA_DIFF, "03 01 7a 02 33", std::nullopt, {"ok", "42"}},
      {"full packets are not applied here", DATA_FULL, "", std::nullopt, {"ok", "42"}},
      {"secure heartbeat must be normalised first", DATA_HEART_SEC, "", std::nullopt, {"ok", "42"}},
      {"secure difference must be normalised first", DATA_DIFF_SEC, "02 01 39", std::nullopt, {"ok", "42"}},
      {"not a data command", 1, "", std::nullopt, {"ok", "42"}},
  };
  for (const auto& c : kCases) {
    TemplateRegistry r = learnt(kSig, {"ok", "42"});
    std::string out = kJunk;
    const bool ok = receive_apply(r, kAid, c.command, kTid, kTs, hex(c.body), out);
    EXPECT_EQ(ok, c.text.has_value()) << c.note;
    EXPECT_EQ(out, c.text ? kJunk + std::string(*c.text) : kJunk) << c.note;
    EXPECT_EQ(stored(r), c.after) << c.note;
  }
}

TEST(ReceiveApply, UnknownTemplatesAreRefused) {
  TemplateRegistry r = learnt(kSig, {"ok", "42"});
  DeviceTemplates& d = device_for(r, kAid);
  d.tid_to_sig[TemplateId{30}] = std::string(kSig);  // a signature without stored values
  std::string out;
  EXPECT_FALSE(receive_apply(r, DeviceId{8}, DATA_HEART, kTid, kTs, "", out)) << "unknown device";
  EXPECT_EQ(find_device(r, DeviceId{8}), nullptr) << "the decoder never creates a device";
  EXPECT_FALSE(receive_apply(r, kAid, DATA_HEART, TemplateId{25}, kTs, "", out)) << "unknown tid";
  EXPECT_FALSE(receive_apply(r, kAid, DATA_HEART, TemplateId{30}, kTs, "", out)) << "no values";
  EXPECT_TRUE(out.empty());
}

TEST(ReceiveApply, MoreThan128ValuesTakeHeartbeatsOnly) {
  Values many(129, "v");
  std::string sig = "m.{TS}|";
  for (int i = 0; i < 129; ++i) sig += "\x01|";
  TemplateRegistry r = learnt(sig, many);
  std::string out;
  const std::string body = hex("01") + std::string(16, '\0') + hex("01 7a");
  EXPECT_FALSE(receive_apply(r, kAid, DATA_DIFF, kTid, kTs, body, out));
  EXPECT_EQ(stored(r), many);
  ASSERT_TRUE(receive_apply(r, kAid, DATA_HEART, kTid, kTs, "", out));
  EXPECT_EQ(out.size(), sig.size() - 4 + kTs.size());
}

TEST(ReceiveApply, SignatureThatCannotBeRebuiltChangesNothing) {
  static const struct { const char* note; std::string_view sig; } kCases[] = {
      {"no timestamp slot", "d1.TS|t>\x01:\x01|"},
      {"two values, one slot", "d1.{TS}|t>\x01:|"},
  };
  for (const auto& c : kCases) {
    TemplateRegistry r = learnt(c.sig, {"ok", "42"});
    std::string out;
    EXPECT_FALSE(receive_apply(r, kAid, DATA_HEART, kTid, kTs, "", out)) << c.note;
    EXPECT_FALSE(receive_apply(r, kAid, DATA_DIFF, kTid, kTs, hex("01 01 7a"), out)) << c.note;
    EXPECT_EQ(stored(r), (Values{"ok", "42"})) << c.note;
    EXPECT_TRUE(out.empty()) << c.note;
  }
}

TEST(ReceiveApply, DifferenceAtBothEndsOfA128BitMask) {
  Values values(128, "v");
  std::string sig = "m.{TS}|";
  for (int i = 0; i < 128; ++i) sig += "\x01|";
  TemplateRegistry r = learnt(sig, values);
  std::string out;
  const std::string body = hex("80") + std::string(14, '\0') + hex("01 01 61 01 62");  // values 0 and 127
  ASSERT_TRUE(receive_apply(r, kAid, DATA_DIFF, kTid, kTs, body, out));
  values[0] = "a";
  values[127] = "b";
  EXPECT_EQ(stored(r), values);
}

TEST(RebuildFact, Table) {
  // Provenance: the rebuild rules; rows marked "own bytes" would come out wrong if slots
  // were searched again from the start of the text after each insertion.
  static const struct {
    const char* note;
    std::string_view sig, ts;
    Values values;
    std::optional<std::string_view> text;
  } kCases[] = {
      {"two values", "d1.{TS}|t>\x01:\x01|", "T", {"ok", "42"}, "d1.T|t>ok:42|"},
      {"no values", "a.b.{TS}||", "T", {}, "a.b.T||"},
      {"empty value removes the slot", "a.{TS}|s>\x01:\x01|", "T", {"", "x"}, "a.T|s>:x|"},
      {"fewer values: extra slots stay", "a.{TS}|\x01|\x01|\x01|", "T", {"1", "2"}, "a.T|1|2|\x01|"},
      {"more values than slots", "a.{TS}|\x01|\x01|", "T", {"1", "2", "3"}, std::nullopt},
      {"no timestamp slot", "a.TS|\x01|", "T", {"1"}, std::nullopt},
      {"shorter than the timestamp slot", "{TS", "T", {}, std::nullopt},
      {"first timestamp slot is used", "{TS}.{TS}|\x01|", "T", {"1"}, "T.{TS}|1|"},
      {"slot before the timestamp comes first", "\x01.{TS}|\x01|", "T", {"1", "2"}, "1.T|2|"},
      {"empty timestamp", "a.{TS}|\x01|", "", {"1"}, "a.|1|"},
      {"own bytes: slot byte inside a value", "a.{TS}|s>\x01:\x01|", "T", {"\x01", "v"}, "a.T|s>\x01:v|"},
      {"own bytes: slot byte inside the timestamp", "a.{TS}|\x01|", "T\x01", {"v"}, "a.T\x01|v|"},
      {"own bytes: timestamp slot inside a value", "a.{TS}|\x01|", "T", {"{TS}"}, "a.T|{TS}|"},
  };
  for (const auto& c : kCases) {
    std::string out = kJunk;
    EXPECT_EQ(rebuild_fact(c.sig, c.ts, c.values, out), c.text.has_value()) << c.note;
    EXPECT_EQ(out, c.text ? kJunk + std::string(*c.text) : kJunk) << c.note;
  }
}

}  // namespace
}  // namespace vm
