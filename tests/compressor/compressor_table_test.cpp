#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "compressor/compress_fact.h"
#include "compressor/compressor_table.h"
#include "compressor/fact_compressor.h"
#include "fusion/fusion_state_table.h"
#include "record_builder.h"
#include "support/bytes.h"

namespace vm {
namespace {

using testing::ConfigSpec;
using testing::config_record;

TEST(CompressorConfig, SmallestRecord) {
  const std::string bytes = config_record({0, 0, {}, {}}).bytes;
  ASSERT_EQ(bytes.size(), 13u);
  const auto c = read_compressor_config(as_bytes(bytes));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->scale, 1u);
  EXPECT_FALSE(c->ms_timestamps);
  EXPECT_EQ(c->unit_map.size(), 0u);
  EXPECT_EQ(c->state_map.size(), 0u);
}

TEST(CompressorConfig, PrecisionAndFlag) {
  static const struct { std::uint32_t precision; std::uint8_t flag; bool ok; std::uint64_t scale; bool ms; } kCases[] = {
      {0, 0, true, 1, false}, {2, 1, true, 100, true}, {2, 0xFF, true, 100, true},
      {18, 0, true, 1000000000000000000ull, false}, {19, 0, false, 0, false},
      {0xFFFFFFFF, 0, false, 0, false},
  };
  for (const auto& c : kCases) {
    const std::string bytes = config_record({c.precision, c.flag, {}, {}}).bytes;
    const auto parsed = read_compressor_config(as_bytes(bytes));
    ASSERT_EQ(parsed.has_value(), c.ok) << c.precision;
    if (!parsed) continue;
    EXPECT_EQ(parsed->scale, c.scale);
    EXPECT_EQ(parsed->ms_timestamps, c.ms);
  }
}

TEST(CompressorConfig, LaterPairWinsIgnoringCase) {
  const std::string bytes =
      config_record({2, 0, {{"KM", "a"}, {"km", "b"}, {"Volt", "V"}}, {{"ON", "1"}, {"on", ""}}}).bytes;
  const auto c = read_compressor_config(as_bytes(bytes));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->unit_map.size(), 2u);
  ASSERT_NE(c->unit_map.find("Km"), nullptr);
  EXPECT_EQ(*c->unit_map.find("Km"), "b");
  ASSERT_NE(c->unit_map.find("volt"), nullptr);
  EXPECT_EQ(*c->unit_map.find("volt"), "V");
  ASSERT_NE(c->state_map.find("On"), nullptr);
  EXPECT_EQ(*c->state_map.find("On"), "");  // an empty code is a code
  EXPECT_EQ(c->unit_map.find("ON"), nullptr);  // the maps are separate
}

TEST(CompressorConfig, MalformedRecordsFail) {
  const auto valid = config_record({3, 1, {{"celsius", "c1"}, {"km", "K"}}, {{"ok", "0"}}});
  // Every proper prefix is short somewhere; one byte more is left over.
  for (std::size_t n = 0; n < valid.bytes.size(); ++n) {
    const std::string cut = valid.bytes.substr(0, n);
    EXPECT_FALSE(read_compressor_config(as_bytes(cut))) << "cut at " << n;
  }
  EXPECT_FALSE(read_compressor_config(as_bytes(valid.bytes + '\0')));
  ASSERT_TRUE(read_compressor_config(as_bytes(valid.bytes)));

  // Invalid UTF-8 in each name and code in turn.
  for (const auto& [offset, length] : valid.texts) {
    std::string bad = valid.bytes;
    bad[offset + length - 1] = '\xFF';
    EXPECT_FALSE(read_compressor_config(as_bytes(bad))) << "text at " << offset;
  }

  // A huge declared count with nothing behind it fails when the bytes run out, without
  // reserving room for four billion pairs.
  testing::RecordBuilder huge;
  huge.u32(2).u8(0).u32(0xFFFFFFFF).text("a").text("b");
  EXPECT_FALSE(read_compressor_config(as_bytes(huge.bytes)));
}

// A compressor handle and a fusion-state handle are distinct types, and neither is a bare
// number: mixing them up fails to compile.
static_assert(!std::is_convertible_v<CompressorHandle, FusionStateHandle>);
static_assert(!std::is_convertible_v<FusionStateHandle, CompressorHandle>);
static_assert(!std::is_convertible_v<std::uint64_t, CompressorHandle>);
static_assert(!std::is_convertible_v<std::uint64_t, FusionStateHandle>);

TEST(CompressorTable, HandlesCountUpOnlyForValidRecords) {
  const std::string valid = config_record({}).bytes;
  const std::string invalid = config_record({19, 0, {}, {}}).bytes;
  const auto first = create_compressor(as_bytes(valid));
  ASSERT_TRUE(first);
  EXPECT_GE(handle_number(*first), 1u);
  EXPECT_FALSE(create_compressor(as_bytes(invalid)));
  const auto second = create_compressor(as_bytes(valid));
  ASSERT_TRUE(second);
  EXPECT_EQ(handle_number(*second), handle_number(*first) + 1);  // the failed create used up no number

  EXPECT_NE(acquire_compressor(*first), nullptr);
  EXPECT_TRUE(free_compressor(*first));
  EXPECT_FALSE(free_compressor(*first));
  EXPECT_EQ(acquire_compressor(*first), nullptr);
  EXPECT_FALSE(free_compressor(CompressorHandle{0}));
  EXPECT_EQ(acquire_compressor(CompressorHandle{0}), nullptr);
  EXPECT_TRUE(free_compressor(*second));
}

TEST(CompressorTable, AcquiredCompressorOutlivesItsHandle) {
  const std::string config = config_record(testing::example_config()).bytes;
  const auto handle = create_compressor(as_bytes(config));
  ASSERT_TRUE(handle);
  auto held = acquire_compressor(*handle);
  ASSERT_NE(held, nullptr);
  const std::weak_ptr<const FactCompressor> watch = held;
  ASSERT_TRUE(free_compressor(*handle));

  const std::string record = testing::fact_record(testing::example_fact()).bytes;
  std::string out;
  ASSERT_TRUE(compress_fact(*held, as_bytes(record), out));
  EXPECT_EQ(out, testing::kExampleCompact);
  EXPECT_FALSE(compress_fact_with_handle(*handle, as_bytes(record), out));

  held.reset();
  EXPECT_TRUE(watch.expired());  // the last reference destroyed it
}

// Creates, frees and compressions racing on the same table (run under TSan as well).
TEST(CompressorTable, ConcurrentUse) {
  const std::string config = config_record(testing::example_config()).bytes;
  const std::string record = testing::fact_record(testing::example_fact()).bytes;
  constexpr int kThreads = 4, kRounds = 300;
  std::vector<std::vector<CompressorHandle>> handles(kThreads);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::string out;
      for (int i = 0; i < kRounds; ++i) {
        const auto h = create_compressor(as_bytes(config));
        if (!h) {
          ++mismatches;
          continue;
        }
        handles[t].push_back(*h);
        // Also try a neighbour's handle, which may be freed at any moment.
        for (CompressorHandle probe : {*h, CompressorHandle{handle_number(*h) - 1}}) {
          out.clear();
          if (compress_fact_with_handle(probe, as_bytes(record), out) &&
              out != testing::kExampleCompact)
            ++mismatches;
        }
        if (i % 2 == 1 && !free_compressor(*h)) ++mismatches;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
  std::vector<CompressorHandle> all;
  for (const auto& v : handles) all.insert(all.end(), v.begin(), v.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "a handle was handed out twice";
  for (CompressorHandle h : all) free_compressor(h);
}

}  // namespace
}  // namespace vm
