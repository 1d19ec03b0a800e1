#include <gtest/gtest.h>

#include <vector>

#include "wire/command.h"
#include "wire/crc.h"
#include "wire/packet_header.h"

namespace vm {
namespace {

// Appends the CRC-16 trailer, high byte first.
std::vector<std::uint8_t> with_trailer(std::vector<std::uint8_t> p) {
  const std::uint16_t crc = packet_crc16(p);
  p.push_back(static_cast<std::uint8_t>(crc >> 8));
  p.push_back(static_cast<std::uint8_t>(crc));
  return p;
}

TEST(CommandCodes, ClassifyAndConvert) {
  for (int cmd = 0; cmd < 256; ++cmd) {
    const auto c = static_cast<std::uint8_t>(cmd);
    const bool data = c == 63 || c == 64 || c == 127 || c == 128 || c == 170 || c == 171;
    EXPECT_EQ(is_data_command(c), data) << cmd;
    const std::uint8_t plain = (c == 64 || c == 128 || c == 171) ? c - 1 : c;
    const std::uint8_t secure = (c == 63 || c == 127 || c == 170) ? c + 1 : c;
    EXPECT_EQ(normalize_data_command(c), plain) << cmd;
    EXPECT_EQ(secure_variant(c), secure) << cmd;
  }
}

TEST(PacketHeader, SmallestPacketWithoutRoute) {
  const auto p = with_trailer({0x3F,               // full packet
                               0x00,               // no route
                               0x18,               // template 24
                               0x01, 0x8B, 0xCF, 0xE5, 0x68, 0x00,  // 1700000000000 ms
                               0xAA});             // one body byte
  ASSERT_EQ(p.size(), 12u);
  const auto h = parse_header(p);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->cmd, 0x3F);
  EXPECT_EQ(h->base_cmd, 0x3F);
  EXPECT_FALSE(h->secure);
  EXPECT_EQ(h->route_count, 0);
  EXPECT_EQ(h->tid_offset, 2u);
  EXPECT_EQ(h->source_aid, 0u);
  EXPECT_EQ(h->tid, 24);
  EXPECT_EQ(h->timestamp_raw, 1700000000000u);
  EXPECT_TRUE(h->crc16_ok);
}

TEST(PacketHeader, SourceIsLastRouteEntryAndSecureIsReported) {
  const auto p = with_trailer({0x40, 0x02,              // secure full, two hops
                               0x00, 0x00, 0x00, 0x01,  // relay 1
                               0x12, 0x34, 0x56, 0x78,  // source 305419896
                               0x07, 0, 0, 0, 0, 0, 5,  // template 7, timestamp 5
                               0x00});
  const auto h = parse_header(p);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->cmd, 64);
  EXPECT_EQ(h->base_cmd, 63);
  EXPECT_TRUE(h->secure);
  EXPECT_EQ(h->source_aid, 305419896u);
  EXPECT_EQ(h->tid_offset, 10u);
  EXPECT_EQ(h->tid, 7);
  EXPECT_EQ(h->timestamp_raw, 5u);
}

TEST(PacketHeader, LengthBoundaries) {
  static const struct { std::size_t len; std::uint8_t route; bool parses; } kCases[] = {
      {4, 0, false}, {11, 0, false}, {12, 0, true}, {15, 1, false}, {16, 1, true},
      {1031, 255, false}, {1032, 255, true},
  };
  for (const auto& c : kCases) {
    std::vector<std::uint8_t> p(c.len, 0);
    if (c.len > 1) p[1] = c.route;
    EXPECT_EQ(parse_header(p).has_value(), c.parses) << c.len << " bytes, route " << int(c.route);
  }
}

TEST(PacketHeader, AnyFlippedByteOrSwappedTrailerFailsTheCheckButStillParses) {
  const auto good = with_trailer({0x05, 0x01, 1, 2, 3, 4, 9, 0, 0, 0, 0, 0, 1, 0x10, 0x20});
  ASSERT_TRUE(parse_header(good)->crc16_ok);
  for (std::size_t i = 0; i + 2 < good.size(); ++i) {
    auto bad = good;
    bad[i] ^= 0x01;
    const auto h = parse_header(bad);
    ASSERT_TRUE(h) << i;
    EXPECT_FALSE(h->crc16_ok) << i;
  }
  auto swapped = good;
  std::swap(swapped[swapped.size() - 1], swapped[swapped.size() - 2]);
  EXPECT_FALSE(parse_header(swapped)->crc16_ok);
}

}  // namespace
}  // namespace vm
