#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "record_builder.h"
#include "velmarinthos_tavkin.h"

namespace {

using namespace std::string_literals;
using vm::testing::config_record;
using vm::testing::fact_record;

const uint8_t* u8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

uint64_t create(const vm::testing::ConfigSpec& settings) {
  const std::string config = config_record(settings).bytes;
  return vm_compressor_create_v1(u8(config), config.size());
}

TEST(CompressorExports, CreateAndFree) {
  const std::string valid = config_record({}).bytes;
  EXPECT_EQ(vm_compressor_create_v1(nullptr, 13), 0u);
  EXPECT_EQ(vm_compressor_create_v1(u8(valid), 0), 0u);
  EXPECT_EQ(vm_compressor_create_v1(u8(valid), valid.size() - 1), 0u);

  const uint64_t first = vm_compressor_create_v1(u8(valid), valid.size());
  ASSERT_NE(first, 0u);
  EXPECT_EQ(create({19, 0, {}, {}}), 0u);
  const std::string extra = valid + '\0';
  EXPECT_EQ(vm_compressor_create_v1(u8(extra), extra.size()), 0u);
  const uint64_t second = vm_compressor_create_v1(u8(valid), valid.size());
  EXPECT_EQ(second, first + 1);  // failures use up no handle number

  EXPECT_EQ(vm_compressor_free_v1(first), 1);
  EXPECT_EQ(vm_compressor_free_v1(first), 0);
  EXPECT_EQ(vm_compressor_free_v1(0), 0);
  EXPECT_EQ(vm_compressor_free_v1(second), 1);
  EXPECT_EQ(vm_compressor_free_v1(second + 1000), 0);
}

TEST(CompressorExports, CompressFollowsTheResultBufferRule) {
  const uint64_t h = create(vm::testing::example_config());
  ASSERT_NE(h, 0u);
  const std::string record = fact_record(vm::testing::example_fact()).bytes;
  const std::string expected = vm::testing::kExampleCompact;
  const auto n = static_cast<int32_t>(expected.size());

  EXPECT_EQ(vm_compress_fact_v1(h, u8(record), record.size(), nullptr, 1000), -n);
  std::vector<uint8_t> buf(expected.size() + 8, '#');
  EXPECT_EQ(vm_compress_fact_v1(h, u8(record), record.size(), buf.data(), expected.size() - 1), -n);
  EXPECT_EQ(buf, std::vector<uint8_t>(buf.size(), '#')) << "wrote into a short buffer";
  EXPECT_EQ(vm_compress_fact_v1(h, u8(record), record.size(), buf.data(), buf.size()), n);
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + n), expected);
  EXPECT_EQ(std::string(buf.begin() + n, buf.end()), std::string(8, '#')) << "wrote past the text";
  EXPECT_EQ(vm_compress_fact_v1(h, u8(record), record.size(), buf.data(), expected.size()), n);

  EXPECT_EQ(vm_compress_fact_v1(0, u8(record), record.size(), buf.data(), buf.size()), 0);
  EXPECT_EQ(vm_compress_fact_v1(h, nullptr, record.size(), buf.data(), buf.size()), 0);
  EXPECT_EQ(vm_compress_fact_v1(h, u8(record), 0, buf.data(), buf.size()), 0);
  EXPECT_EQ(vm_compress_fact_v1(h, u8(record), record.size() - 1, buf.data(), buf.size()), 0);
  const std::string longer = record + 'x';
  EXPECT_EQ(vm_compress_fact_v1(h, u8(longer), longer.size(), buf.data(), buf.size()), 0);

  ASSERT_EQ(vm_compressor_free_v1(h), 1);
  EXPECT_EQ(vm_compress_fact_v1(h, u8(record), record.size(), buf.data(), buf.size()), 0);
}

// Compressions racing with the free of their handle either finish with the whole text
// or find no compressor; none is cut short or crashes.
// VM_COMPACT_TEXT_BOUND holds for records built to make the text grow most: units of many
// one-byte factors that each fold a number into a prefix or map to the longest code, values
// that need the longest codes, and trailers that grow by Base64.
TEST(CompressorExports, CompactTextBoundHoldsForTheLongestTexts) {
  const std::string long_code(40, 'C');
  const struct {
    const char* name;
    vm::testing::ConfigSpec config;
    std::string unit;
    double value;
  } kCases[] = {
      {"factors of one byte", {18, 0, {}, {}}, "m/m/m/m/m/m/m/m/m/m/m/m", -9.2e18},
      {"numbers folded into prefixes", {0, 0, {}, {}}, "1000m/2000k/1500W/0.5mA/2.5kW/1e9x", 1e300},
      {"each factor mapped to a long code", {4, 1, {{"a", long_code}}, {{"s", long_code}}}, "a/a/a/a/a/a/a/a/a/a", -1.5e15},
      {"no unit at all", {2, 1, {}, {}}, "", -0.125},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const uint64_t handle = create(c.config);
    ASSERT_NE(handle, 0u);
    std::size_t longest = 0;
    for (const auto& [name, code] : c.config.units) longest = std::max(longest, code.size());
    for (const auto& [name, code] : c.config.states) longest = std::max(longest, code.size());
    vm::testing::FactSpec fact{"n", "s", 1700000000.0, {}, "g", "x" + std::string(30, '/'), std::string(30, '\x01')};
    for (int i = 0; i < 8; ++i) fact.readings.push_back({"r", "s", c.value, c.unit});
    const std::string record = fact_record(fact).bytes;
    const std::size_t bound = VM_COMPACT_TEXT_BOUND(record.size(), longest);
    std::vector<uint8_t> out(bound);
    const int32_t n = vm_compress_fact_v1(handle, u8(record), record.size(), out.data(), out.size());
    EXPECT_GT(n, 0) << "needed " << -n << " bytes, the bound gave " << bound;
    vm_compressor_free_v1(handle);
  }
}

TEST(CompressorExports, FreeDuringCompression) {
  const std::string record = fact_record(vm::testing::example_fact()).bytes;
  const std::string expected = vm::testing::kExampleCompact;
  for (int round = 0; round < 20; ++round) {
    const uint64_t h = create(vm::testing::example_config());
    ASSERT_NE(h, 0u);
    std::atomic<bool> go{false};
    std::atomic<int> bad{0}, done{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 2; ++t) {
      workers.emplace_back([&] {
        uint8_t buf[256];
        while (!go) {}
        for (int i = 0; i < 200; ++i) {
          const int32_t r = vm_compress_fact_v1(h, u8(record), record.size(), buf, sizeof buf);
          if (r == 0) continue;
          if (r != static_cast<int32_t>(expected.size()) ||
              std::string(reinterpret_cast<char*>(buf), r) != expected)
            ++bad;
          ++done;
        }
      });
    }
    go = true;
    EXPECT_EQ(vm_compressor_free_v1(h), 1);
    for (auto& w : workers) w.join();
    EXPECT_EQ(bad.load(), 0);
  }
}

TEST(DecomposeExport, RecordAndFailures) {
  const std::string text = "a.b.T|";
  const std::string expected = "\0\0\0\x01"s "\0\0\0\x0A"s "\0\0\0\0"s "T" "a.b.{TS}||";
  ASSERT_EQ(expected.size(), 23u);
  std::vector<uint8_t> buf(32, '#');
  EXPECT_EQ(vm_auto_decompose_input(u8(text), text.size(), buf.data(), buf.size()), 23);
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + 23), expected);
  EXPECT_EQ(buf[23], '#');
  EXPECT_EQ(vm_auto_decompose_input(u8(text), text.size(), buf.data(), 22), -23);
  EXPECT_EQ(vm_auto_decompose_input(u8(text), text.size(), nullptr, 0), -23);

  const std::string example = vm::testing::kExampleCompact;
  const int32_t n = vm_auto_decompose_input(u8(example), example.size(), buf.data(), 0);
  ASSERT_LT(n, 0);
  buf.assign(static_cast<size_t>(-n), 0);
  ASSERT_EQ(vm_auto_decompose_input(u8(example), example.size(), buf.data(), buf.size()), -n);
  const std::string mark = "\x3E\x01\x3A\x01";
  const std::string sig = "node7.1.{TS}|t1" + mark + "|h" + mark + "|d" + mark + "|&hi|#czE|@eHl6|";
  std::string want = "\0\0\0\x08"s + '\0' + '\0' + '\0' + static_cast<char>(sig.size()) +
                     "\0\0\0\x06"s + "AYvP5WgA" + sig;
  for (const char* v : {"0.c1", "yG", "0.m/s2", "q0U", "0.1,km", "-c"})
    want += "\0\0\0"s + static_cast<char>(std::strlen(v)) + v;
  EXPECT_EQ(std::string(buf.begin(), buf.end()), want);

  for (const std::string& bad : {"a.b.T"s, "ab|x"s, "a.b.T|\xFF"s, "\xC0\x80.b.T|"s}) {
    EXPECT_EQ(vm_auto_decompose_input(u8(bad), bad.size(), buf.data(), buf.size()), 0) << bad;
  }
  EXPECT_EQ(vm_auto_decompose_input(nullptr, 6, buf.data(), buf.size()), 0);
  EXPECT_EQ(vm_auto_decompose_input(u8(text), 0, buf.data(), buf.size()), 0);
}

}  // namespace
