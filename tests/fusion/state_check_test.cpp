// The state check: its digest against a plain bytewise reading of the documented records,
// its fold, and a receiver's checked update (refuses a drifted template, changes nothing,
// stays refused until the template is learnt again).
#include "fusion/state_check.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "fusion/packet_decoder.h"
#include "fusion/template_model.h"
#include "fusion_test_support.h"
#include "wire/command.h"

namespace vm {
namespace {

// CRC-32C bit by bit over the documented byte stream: each record is one byte (length mod
// 256), the bytes, then zero bytes up to a multiple of 8.
std::uint32_t reference_crc32c(std::string_view bytes, std::uint32_t crc = 0xFFFFFFFFu) {
  for (unsigned char c : bytes) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0x82F63B78u : crc >> 1;
  }
  return crc;
}

std::string record(std::string_view text) {
  std::string r(1, static_cast<char>(text.size() & 0xFF));
  r.append(text);
  r.append((8 - r.size() % 8) % 8, '\0');
  return r;
}

std::uint32_t reference_digest(std::string_view sig, const std::vector<std::string>& values) {
  std::string stream = record(sig);
  for (const std::string& v : values) stream += record(v);
  return reference_crc32c(stream) ^ 0xFFFFFFFFu;
}

TEST(StateCheckDigest, ReferenceCrcIsCastagnoli) {
  EXPECT_EQ(reference_crc32c("123456789") ^ 0xFFFFFFFFu, 0xE3069283u);
}

TEST(StateCheckDigest, EqualsTheDocumentedRecordsForRandomTemplates) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const auto text = [&rng](std::size_t max) {
    std::string s(rng() % (max + 1), '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
  };
  for (int round = 0; round < 2000; ++round) {
    const std::string sig = text(300);
    std::vector<std::string> values(rng() % 20);
    for (std::string& v : values) v = text(rng() % 4 == 0 ? 40 : 9);
    const std::uint32_t expected = reference_digest(sig, values);
    ASSERT_EQ(template_state_digest(sig, std::span<const std::string>(values)), expected);
    const std::vector<std::string_view> views = testing::views(values);
    ASSERT_EQ(template_state_digest(sig, std::span<const std::string_view>(views)), expected);
    ASSERT_EQ(detail::portable_state_digest(sig, std::span<const std::string>(values)), expected);
    // Pending changes read as if they were applied.
    std::vector<std::string> changed = values;
    std::vector<std::string> replacements;
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (rng() % 3 != 0) continue;
      positions.push_back(i);
      replacements.push_back(text(rng() % 2 ? 12 : 5));
      changed[i] = replacements.back();
    }
    std::vector<ValueChange> changes;
    for (std::size_t k = 0; k < positions.size(); ++k) changes.push_back({positions[k], replacements[k]});
    const std::uint32_t after = reference_digest(sig, changed);
    ASSERT_EQ(template_state_digest(signature_crc(sig), std::span<const std::string>(values), changes), after);
    ASSERT_EQ(detail::portable_state_digest(sig, std::span<const std::string>(values), changes), after);
  }
}

TEST(StateCheckDigest, ValueBoundariesCount) {
  // The same bytes split into other values, or moved into the signature, are another state.
  const std::vector<std::string> ab{"ab", "c"}, a_bc{"a", "bc"}, abc{"abc"};
  const std::uint32_t d1 = template_state_digest("s", std::span<const std::string>(ab));
  EXPECT_NE(d1, template_state_digest("s", std::span<const std::string>(a_bc)));
  EXPECT_NE(d1, template_state_digest("s", std::span<const std::string>(abc)));
  const std::vector<std::string> c{"c"};
  EXPECT_NE(d1, template_state_digest("sab", std::span<const std::string>(c)));
}

TEST(StateCheckFold, TwoStatesAgreeOnAboutOnePacketIn256WhateverTheTimestamps) {
  // A drift that one packet lets through must be caught by the next with the same odds:
  // the fold makes the agreement of two digests differ from timestamp to timestamp.
  int agree = 0;
  constexpr int kPackets = 200000;
  const std::uint64_t start = 1700000000000;
  for (int i = 0; i < kPackets; ++i) agree += fold_state_check(0x12345678u, start + i) == fold_state_check(0x12345679u, start + i);
  EXPECT_GT(agree, kPackets / 256 / 2);
  EXPECT_LT(agree, kPackets / 256 * 2);
  // And two digests give the same byte for one timestamp only by that chance, not always.
  int same_timestamp_runs = 0;
  for (int i = 0; i + 1 < kPackets; ++i)
    same_timestamp_runs += fold_state_check(0x12345678u, start + i) == fold_state_check(0x12345679u, start + i) &&
                           fold_state_check(0x12345678u, start + i + 1) == fold_state_check(0x12345679u, start + i + 1);
  EXPECT_LT(same_timestamp_runs, 20);
}

TEST(StateCheckDigest, ATemplatesCachedSignaturePartFollowsItsSignature) {
  DeviceTemplates device;
  const TemplateId tid{30};
  learn_template(device, tid, "a.{TS}|\x01|", {"1"});
  EXPECT_EQ(cached_signature_crc(device, tid, "a.{TS}|\x01|"), signature_crc("a.{TS}|\x01|"));
  // A number that passes to another signature (a full packet, a recycled number) must not
  // keep the old signature's part, nor may a forgotten one.
  learn_template(device, tid, "b.{TS}|\x01|", {"1"});
  EXPECT_EQ(cached_signature_crc(device, tid, "b.{TS}|\x01|"), signature_crc("b.{TS}|\x01|"));
  forget_template(device, tid);
  EXPECT_TRUE(device.sig_crcs.empty());
}

class CheckedReceiver : public ::testing::Test {
 protected:
  static constexpr DeviceId kAid{7};
  static constexpr TemplateId kTid{24};
  static constexpr std::uint64_t kTime = 1700000000000;
  const std::string sig = std::string("d1.{TS}|t>\x01:\x01|", 15);

  void SetUp() override { learn_template(device_for(registry, kAid), kTid, sig, {"ok", "42"}); }

  std::uint8_t check_of(const std::vector<std::string>& values, std::uint64_t t = kTime) const {
    return state_check(std::string_view(sig), std::span<const std::string>(values), t);
  }
  const std::vector<std::string>& stored() { return find_device(registry, kAid)->last_vals.at(kTid); }
  CheckedReceive receive(std::uint8_t command, std::string_view body, std::uint8_t check, std::uint64_t t = kTime) {
    return receive_checked_update(registry, kAid, command, kTid, body, ExpectedState{check, t});
  }

  TemplateRegistry registry;
};

TEST_F(CheckedReceiver, AppliesPacketsWhoseCheckHolds) {
  EXPECT_EQ(receive(DATA_HEART, "", check_of({"ok", "42"})).status, ReceiveStatus::applied);
  const auto diff = receive(DATA_DIFF, testing::hex("02 02 34 33"), check_of({"ok", "43"}));
  ASSERT_EQ(diff.status, ReceiveStatus::applied);
  EXPECT_EQ(std::vector<std::string>(diff.received.values.begin(), diff.received.values.end()),
            (std::vector<std::string>{"ok", "43"}));
}

TEST_F(CheckedReceiver, ADriftedDiffChangesNothingAndTheTemplateStaysRefusedUntilLearnt) {
  // The sender holds ("ok", "41") after a difference this receiver never got; its next
  // difference changes value 0 only.
  const std::uint8_t sender_check = check_of({"no", "41"});
  ASSERT_NE(sender_check, check_of({"no", "42"})) << "pick other values: this pair agrees by chance";
  EXPECT_EQ(receive(DATA_DIFF, testing::hex("01 02 6E 6F"), sender_check).status, ReceiveStatus::state_mismatch);
  EXPECT_EQ(stored(), (std::vector<std::string>{"ok", "42"}));
  // Even a packet whose check this receiver's state happens to give is refused now.
  EXPECT_EQ(receive(DATA_HEART, "", check_of({"ok", "42"})).status, ReceiveStatus::state_mismatch);
  // The plain road still decodes it: only checked receivers refuse.
  EXPECT_TRUE(receive_update(registry, kAid, DATA_HEART, kTid, "").has_value());
  // A full packet teaches the template again and ends the refusal.
  learn_template(device_for(registry, kAid), kTid, sig, {"no", "41"});
  EXPECT_EQ(receive(DATA_HEART, "", check_of({"no", "41"})).status, ReceiveStatus::applied);
}

TEST_F(CheckedReceiver, RefusalsOfTheUncheckedRoadStayRefusals) {
  // A body cut short is refused as before, not as a drift, and does not mark the template.
  EXPECT_EQ(receive(DATA_DIFF, testing::hex("02 05 34"), 0).status, ReceiveStatus::refused);
  EXPECT_EQ(receive(DATA_HEART, "", check_of({"ok", "42"})).status, ReceiveStatus::applied);
  EXPECT_EQ(receive_checked_update(registry, DeviceId{8}, DATA_HEART, kTid, "", {0, kTime}).status,
            ReceiveStatus::refused);
}

}  // namespace
}  // namespace vm
