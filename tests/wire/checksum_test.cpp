#include <gtest/gtest.h>

#include <random>

#include "wire/crc.h"

namespace vm {
namespace {

ByteSpan text(std::string_view s) { return as_bytes(s); }

// Plain bit-by-bit reference, written from the definition, to check the table-driven ones.
std::uint16_t reference_crc16(ByteSpan data) {
  std::uint16_t crc = 0xFFFF;
  for (std::uint8_t b : data) {
    crc ^= static_cast<std::uint16_t>(b << 8);
    for (int i = 0; i < 8; ++i) crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021) : static_cast<std::uint16_t>(crc << 1);
  }
  return crc;
}

// Check values of the published CRC-16/CCITT-FALSE and CRC-8/SMBUS catalogues.
TEST(Checksum, CatalogueCheckValues) {
  EXPECT_EQ(crc16(text("123456789"), 0x1021, 0xFFFF), 0x29B1);
  EXPECT_EQ(crc16(text("abc"), 0x1021, 0xFFFF), 0x514A);
  EXPECT_EQ(crc8(text("123456789"), 0x07, 0x00), 0xF4);
  EXPECT_EQ(crc8(text("abc"), 0x07, 0x00), 0x5F);
  EXPECT_EQ(packet_crc16(text("123456789")), 0x29B1);
  EXPECT_EQ(body_crc8(text("123456789")), 0xF4);
}

TEST(Checksum, EmptyInputReturnsInit) {
  EXPECT_EQ(crc16({}, 0x8005, 0x1234), 0x1234);
  EXPECT_EQ(crc8({}, 0x31, 0xAB), 0xAB);
  EXPECT_EQ(body_crc8({}), 0x00);
  EXPECT_EQ(packet_crc16({}), 0xFFFF);
}

TEST(Checksum, TablesMatchBitwiseReferenceOnRandomInput) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int round = 0; round < 200; ++round) {
    std::vector<std::uint8_t> data(rng() % 300);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    EXPECT_EQ(packet_crc16(data), reference_crc16(data));
    EXPECT_EQ(packet_crc16(data), crc16(data, kCrc16Poly, kCrc16Init));
    EXPECT_EQ(body_crc8(data), crc8(data, kCrc8Poly, kCrc8Init));
  }
}

}  // namespace
}  // namespace vm
