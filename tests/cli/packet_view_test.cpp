// Packets taken apart for inspection: header and checksums of the worked 79-byte full
// packet and 16-byte heartbeat, difference bodies read as receivers read them, and the
// mask length guessed when the template is not at hand.
#include <gtest/gtest.h>

#include "packet_view.h"
#include "signature_text.h"

namespace tavkin {
namespace {

using namespace std::string_literals;

const std::string kHeartbeat = "\x7f"                  // DATA_HEART
                               "\x01"                  // one hop
                               "\x12\x34\x56\x78"      // device 305419896
                               "\x18"                  // template 24
                               "\x01\x8b\xcf\xe5\x68\x00"  // 1700000000000 ms
                               "\x00"s                 // CRC-8 of the empty body
                               "\x5f\xe7";             // CRC-16

TEST(ViewPacket, WorkedFullPacket) {
  const std::string text = "305419896;node7.1.AYvP5WgA|t1>0.c1:yG|h>0.m/s2:q0U|d>0.1,km:-c|";
  const std::string packet = "\x3f\x01\x12\x34\x56\x78\x18\x01\x8b\xcf\xe5\x68\x00"s + text + "\xb0\xff\x46";
  ASSERT_EQ(packet.size(), 79u);
  std::string error;
  const auto v = view_packet(packet, error);
  ASSERT_TRUE(v) << error;
  EXPECT_EQ(v->cmd, 63);
  EXPECT_EQ(v->route, std::vector<std::uint32_t>{305419896});
  EXPECT_EQ(v->tid, 24);
  EXPECT_EQ(v->timestamp_raw, 1700000000000u);
  EXPECT_EQ(v->body, text);
  EXPECT_EQ(v->crc8_stored, v->crc8_computed);
  EXPECT_EQ(v->crc16_stored, 0xff46);
  EXPECT_EQ(v->crc16_computed, 0xff46);
}

TEST(ViewPacket, HeartbeatAndDamage) {
  std::string error;
  auto v = view_packet(kHeartbeat, error);
  ASSERT_TRUE(v) << error;
  EXPECT_TRUE(v->body.empty());
  EXPECT_EQ(v->crc16_computed, 0x5fe7);
  std::string damaged = kHeartbeat;
  damaged[8] ^= 1;  // a timestamp bit
  v = view_packet(damaged, error);
  ASSERT_TRUE(v);
  EXPECT_NE(v->crc16_stored, v->crc16_computed);
  EXPECT_FALSE(view_packet(kHeartbeat.substr(0, 11), error));
  EXPECT_NE(error.find("route of 1 needs at least 16 bytes"), std::string::npos) << error;
}

TEST(DiffBody, ReadAsReceiversDo) {
  // Nine values, positions 0 and 8 changed to "x" and "y".
  const std::string body = "\x01\x01\x01x\x01y";
  const auto diff = read_diff_body(body, 9);
  ASSERT_TRUE(diff);
  EXPECT_EQ(diff->mask_bytes, 2u);
  ASSERT_EQ(diff->changes.size(), 2u);
  EXPECT_EQ(diff->changes[0].position, 0u);
  EXPECT_EQ(diff->changes[0].value, "x");
  EXPECT_EQ(diff->changes[1].position, 8u);
  EXPECT_EQ(diff->changes[1].value, "y");
  EXPECT_FALSE(read_diff_body("\x02\x05" "43", 3));  // length byte runs past the body
  EXPECT_FALSE(read_diff_body("\x02\x02" "43", 129));  // more than 128 values
  EXPECT_EQ(read_diff_body("\x00"s, 2)->changes.size(), 0u);
}

TEST(DiffBody, MaskLengthGuess) {
  EXPECT_EQ(plausible_mask_lengths("\x02\x02" "43"), std::vector<std::size_t>{1});
  EXPECT_EQ(plausible_mask_lengths("\x01\x01\x01x\x01y"), std::vector<std::size_t>{2});
  EXPECT_TRUE(plausible_mask_lengths("\x02").empty());
}

TEST(Signature, SlotsMadeVisible) {
  const std::string sig = "d1.{TS}|t>\x01:\x01|h>\x01:\x01|&g\x02|";
  EXPECT_EQ(render_signature(sig), "d1.{TS}|t>{0}:{1}|h>{2}:{3}|&g\\x02|");
  EXPECT_EQ(render_filled(sig, {"ok", "42", "0.%"}), "d1.{TS}|t>ok:42|h>0.%:\\x01|&g\\x02|");
  EXPECT_EQ(slot_labels(sig), (std::vector<std::string>{"t state.unit", "t value", "h state.unit", "h value"}));
}

TEST(Timestamp, SecondsOrMilliseconds) {
  EXPECT_EQ(timestamp_as_date(1700000000000), "2023-11-14 22:13:20.000 UTC (read as milliseconds)");
  EXPECT_EQ(timestamp_as_date(1700000000), "2023-11-14 22:13:20 UTC (read as seconds)");
}

}  // namespace
}  // namespace tavkin
