#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "velmarinthos_tavkin.h"

namespace {

const uint8_t* u8(const char* s) { return reinterpret_cast<const uint8_t*>(s); }

TEST(ChecksumExports, CheckValuesAndEmptyInput) {
  EXPECT_EQ(vm_crc16_ccitt_pub(u8("123456789"), 9, 0x1021, 0xFFFF), 0x29B1);
  EXPECT_EQ(vm_crc16_ccitt_pub(u8("abc"), 3, 0x1021, 0xFFFF), 0x514A);
  EXPECT_EQ(vm_crc8(u8("123456789"), 9, 0x07, 0x00), 0xF4);
  EXPECT_EQ(vm_crc8(u8("abc"), 3, 0x07, 0x00), 0x5F);
  EXPECT_EQ(vm_crc16_ccitt_pub(u8("abc"), 0, 0x8005, 0xBEEF), 0xBEEF);
  EXPECT_EQ(vm_crc16_ccitt_pub(nullptr, 100, 0x1021, 0x1234), 0x1234);
  EXPECT_EQ(vm_crc8(nullptr, 100, 0x07, 0x42), 0x42);
}

TEST(Base62Exports, EncodeCapacity) {
  static const struct { int64_t value; size_t cap; int32_t result; const char* text; } kCases[] = {
      {62, 2, 0, nullptr}, {62, 3, 1, "10"}, {0, 2, 1, "0"}, {0, 1, 0, nullptr},
      {INT64_MIN, 12, 0, nullptr}, {INT64_MIN, 13, 1, "-aZl8N0y58M8"},
      {INT64_MAX, 12, 1, "aZl8N0y58M7"}, {1000000, 5, 1, "4c92"},
  };
  for (const auto& c : kCases) {
    char buf[16];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(vm_b62_encode_i64(c.value, buf, c.cap), c.result) << c.value << " cap " << c.cap;
    if (c.text) {
      EXPECT_STREQ(buf, c.text);
    } else {
      EXPECT_EQ(buf[0], '#') << "wrote on failure";
    }
  }
  EXPECT_EQ(vm_b62_encode_i64(1, nullptr, 10), 0);
}

TEST(Base62Exports, DecodeReportsThroughOk) {
  int32_t ok = 7;
  EXPECT_EQ(vm_b62_decode_i64("-0", &ok), 0);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(vm_b62_decode_i64("", &ok), 0);
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(vm_b62_decode_i64("-", &ok), 0);
  EXPECT_EQ(ok, 0);
  ok = 7;
  EXPECT_EQ(vm_b62_decode_i64("1 ", &ok), 0);
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(vm_b62_decode_i64(nullptr, &ok), 0);
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(vm_b62_decode_i64("aZl8N0y58M8", &ok), INT64_MIN);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(vm_b62_decode_i64("4c92", nullptr), 1000000);
}

TEST(CommandExports, Table) {
  EXPECT_EQ(vm_cmd_normalize_data(63), 63);
  EXPECT_EQ(vm_cmd_normalize_data(171), 170);
  EXPECT_EQ(vm_cmd_secure_variant(64), 64);
  EXPECT_EQ(vm_cmd_secure_variant(127), 128);
  EXPECT_EQ(vm_cmd_normalize_data(0), 0);
  EXPECT_EQ(vm_cmd_secure_variant(200), 200);
  for (uint8_t c : {62, 65, 126, 129, 169, 172}) EXPECT_EQ(vm_cmd_is_data(c), 0) << int(c);
  for (uint8_t c : {63, 64, 127, 128, 170, 171}) EXPECT_EQ(vm_cmd_is_data(c), 1) << int(c);
}

TEST(HeaderExport, SlotsAndRejections) {
  std::vector<uint8_t> p = {0x05, 0x00, 0x09, 0, 0, 0, 0, 0, 3, 0xAB};
  const uint16_t crc = vm_crc16_ccitt_pub(p.data(), p.size(), 0x1021, 0xFFFF);
  p.push_back(static_cast<uint8_t>(crc >> 8));
  p.push_back(static_cast<uint8_t>(crc));

  uint64_t slots[10];
  std::fill(std::begin(slots), std::end(slots), 0xDEADu);
  EXPECT_EQ(vm_parse_header_min(p.data(), p.size(), slots, 8), 0);
  EXPECT_EQ(slots[0], 0xDEADu);
  EXPECT_EQ(vm_parse_header_min(nullptr, p.size(), slots, 9), 0);
  EXPECT_EQ(vm_parse_header_min(p.data(), p.size(), nullptr, 9), 0);
  EXPECT_EQ(vm_parse_header_min(p.data(), 11, slots, 9), 0);
  EXPECT_EQ(slots[0], 0xDEADu);

  ASSERT_EQ(vm_parse_header_min(p.data(), p.size(), slots, 10), 1);
  const uint64_t expected[9] = {5, 5, 0, 0, 2, 0, 9, 3, 1};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(slots[i], expected[i]) << "slot " << i;
  EXPECT_EQ(slots[9], 0xDEADu);
}

}  // namespace
