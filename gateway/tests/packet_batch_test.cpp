// Batch messages: the framing round-trips packets of every length class, is told apart
// from single packets, and a batch that breaks keeps the packets before the break.
#include <gtest/gtest.h>

#include <random>

#include "packet_batch.h"

namespace tavkin {
namespace {

TEST(PacketBatch, RoundTripsPacketsOfEveryLengthClass) {
  const std::uint32_t seed = std::random_device{}();
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  // Lengths around each varint boundary, and empty packets.
  for (const std::size_t length : {0u, 1u, 127u, 128u, 16383u, 16384u, 70000u}) {
    std::vector<std::string> owned(3);
    for (auto& p : owned) {
      p.resize(length);
      for (auto& c : p) c = static_cast<char>(rng());
    }
    const std::vector<std::string_view> packets(owned.begin(), owned.end());
    const std::string body = frame_batch(packets);
    ASSERT_TRUE(is_batch(body));
    const BatchRead read = read_batch(body);
    ASSERT_TRUE(read.complete) << read.error;
    ASSERT_EQ(read.packets, packets) << "length " << length;
  }
}

TEST(PacketBatch, ByteLayoutOfTwoPackets) {
  const std::vector<std::string_view> packets{"\x7f\x01", "abc"};
  EXPECT_EQ(frame_batch(packets), std::string("\xba\x01\x02\x02\x7f\x01\x03" "abc"));
  EXPECT_EQ(frame_batch({}), std::string("\xba\x01\x00", 3));
}

TEST(PacketBatch, SinglePacketsAreNotBatches) {
  // Every data command, and an empty body.
  for (const char first : {'\x3f', '\x40', '\x7f', '\x80', '\xaa', '\xab'}) {
    EXPECT_FALSE(is_batch(std::string(1, first) + "rest"));
  }
  EXPECT_FALSE(is_batch(""));
}

TEST(PacketBatch, BrokenBatchesKeepWhatCameBefore) {
  struct Case {
    std::string body;
    std::size_t kept;
  };
  const std::vector<Case> cases{
      {std::string("\xba", 1), 0},                        // no version
      {std::string("\xba\x02\x00", 3), 0},                // unknown version
      {std::string("\xba\x01", 2), 0},                    // no count
      {std::string("\xba\x01\x80", 3), 0},                // count cut short
      {std::string("\xba\x01\x02\x01x\x05yz", 8), 1},     // second packet cut short
      {std::string("\xba\x01\x01\x01xtrailing", 12), 1},  // bytes after the last packet
      {std::string("\xba\x01\xff\xff\xff\xff\x7f", 7), 0},  // count beyond 32 bits
  };
  for (const auto& c : cases) {
    const BatchRead read = read_batch(c.body);
    EXPECT_FALSE(read.complete);
    EXPECT_FALSE(read.error.empty());
    EXPECT_EQ(read.packets.size(), c.kept) << read.error;
  }
}

}  // namespace
}  // namespace tavkin
