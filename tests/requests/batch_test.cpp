// The binary batch: many fact records compressed, fused and framed under one lock of a
// context; an empty entry for an item that fails, an early end for a truncated input.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "batch_support.h"

namespace {

using namespace requests;
using vm::testing::FactSpec;
namespace fs = std::filesystem;

class Batch : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = create_compressor(vm::testing::example_config());
    ASSERT_NE(handle_, 0u);
  }
  void TearDown() override { vm_compressor_free_v1(handle_); }

  static std::string record(const FactSpec& f) { return vm::testing::fact_record(f).bytes; }
  // The example fact with reading 0 set to `v` and the timestamp moved by `dt` seconds.
  static std::string fact(double v, double dt = 0) {
    FactSpec f = vm::testing::example_fact();
    f.readings[0].v = v;
    f.timestamp += dt;
    return record(f);
  }

  Answer run_batch(std::uint64_t ctx, const std::vector<BatchItem>& items, std::string_view root = {},
                   std::size_t cap = 1 << 16) const {
    return call(vm_pipeline_batch_v1, batch_input(handle_, ctx, root, items), cap);
  }

  std::uint64_t handle_ = 0;
};

TEST_F(Batch, EmptyBatchAndWholeBatchFailures) {
  const Answer empty = run_batch(fresh_ctx(), {});
  EXPECT_EQ(empty.result, 4);
  EXPECT_EQ(empty.bytes, hex("00 00 00 00"));
  EXPECT_TRUE(empty.junk_intact);

  const std::string in = batch_input(handle_, 1, "", {});
  EXPECT_EQ(call(vm_pipeline_batch_v1, in.substr(0, 23)).result, 0) << "23 bytes";
  std::string r1 = batch_input(handle_, 1, "x", {});
  EXPECT_EQ(call(vm_pipeline_batch_v1, r1.substr(0, 24)).result, 0) << "24 bytes with R = 1";
  EXPECT_EQ(call(vm_pipeline_batch_v1, r1).result, 4) << "25 bytes with R = 1";
  EXPECT_EQ(call(vm_pipeline_batch_v1, batch_input(handle_ + 1000, 1, "", {})).result, 0) << "unknown handle";
  EXPECT_EQ(call(vm_pipeline_batch_v1, batch_input(0, 1, "", {})).result, 0) << "handle 0";
  EXPECT_EQ(vm_pipeline_batch_v1(nullptr, 24, nullptr, 0), 0);
  EXPECT_EQ(vm_pipeline_batch_v1(reinterpret_cast<const uint8_t*>(in.data()), 0, nullptr, 0), 0);

  const std::uint64_t freed = create_compressor(vm::testing::example_config());
  ASSERT_EQ(vm_compressor_free_v1(freed), 1);
  EXPECT_EQ(call(vm_pipeline_batch_v1, batch_input(freed, 1, "", {{1, 0, fact(1)}})).result, 0);
}

// Each packet of a batch is the packet the run request gives for "aid;compact fact", in
// the same order against the same templates.
TEST_F(Batch, PacketsEqualRunRequestsOfTheSameFacts) {
  const std::vector<BatchItem> items = {
      {305419896, 0, fact(21.5)}, {305419896, 0, fact(21.5, 1)}, {305419896, 0, fact(22.5, 2)},
      {7, 0, fact(1)},            {305419896, 1, fact(22.5, 3)}, {7, 0, fact(1)},
      {0, 0, fact(5)},            {4294967295u, 0, fact(5)},     {7, 1, fact(2)},
  };
  const std::uint64_t ctx = fresh_ctx();
  const BatchAnswer answer = parse_batch_answer(run_batch(ctx, items).bytes);
  ASSERT_TRUE(answer.well_formed);
  EXPECT_EQ(answer.count, items.size());
  ASSERT_EQ(answer.packets.size(), items.size());

  const std::uint64_t run_ctx = fresh_ctx();
  std::vector<int> commands;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string text = std::to_string(items[i].aid) + ";" + compress(handle_, items[i].record);
    RunRequest r{run_ctx, text, items[i].flag ? "full" : ""};
    EXPECT_EQ(answer.packets[i], run(r)) << i;
    commands.push_back(static_cast<unsigned char>(answer.packets[i][0]));
  }
  EXPECT_EQ(commands, (std::vector<int>{63, 127, 170, 63, 63, 127, 63, 63, 63}));
  // The forced full packet of a known template carries "aid;compact fact".
  EXPECT_EQ(answer.packets[4].substr(13, answer.packets[4].size() - 16),
            "305419896;" + compress(handle_, items[4].record));
}

// The top bit of the registry length asks for the packets that run requests with
// "state_check" give; the length itself is the other 31 bits.
TEST_F(Batch, StateCheckBitGivesCheckedPacketsOfTheSameFacts) {
  const std::vector<BatchItem> items = {{9, 0, fact(21.5)}, {9, 0, fact(21.5, 1)}, {9, 0, fact(22.5, 2)}};
  const ScratchRoot scratch("batch_state_check");
  for (const std::string& root : {std::string(), scratch.str()}) {
    std::string in = batch_input(handle_, fresh_ctx(), root, items);
    in[20] = static_cast<char>(in[20] | 0x80);
    const BatchAnswer answer = parse_batch_answer(call(vm_pipeline_batch_v1, in).bytes);
    ASSERT_EQ(answer.packets.size(), items.size());
    const std::uint64_t run_ctx = fresh_ctx();
    for (std::size_t i = 0; i < items.size(); ++i) {
      RunRequest r{run_ctx, "9;" + compress(handle_, items[i].record), "", std::nullopt, root};
      r.state_check = true;
      EXPECT_EQ(answer.packets[i], run(r)) << i;
    }
  }
}

TEST_F(Batch, ItemThatDoesNotCompressLeavesAnEmptyEntry) {
  std::string too_long = fact(3) + "x";
  std::string too_short = fact(3);
  too_short.pop_back();
  const BatchAnswer a = parse_batch_answer(
      run_batch(fresh_ctx(), {{1, 0, fact(3)}, {1, 0, too_long}, {1, 0, too_short}, {1, 0, fact(3)}, {1, 0, ""}}).bytes);
  ASSERT_TRUE(a.well_formed);
  ASSERT_EQ(a.packets.size(), 5u);
  EXPECT_EQ(static_cast<unsigned char>(a.packets[0][0]), 63);
  EXPECT_EQ(a.packets[1], "");
  EXPECT_EQ(a.packets[2], "");
  EXPECT_EQ(static_cast<unsigned char>(a.packets[3][0]), 127);
  EXPECT_EQ(a.packets[4], "");
}

// N = 3 and the input cut inside the second item: the first packet, one empty entry, and
// nothing for the third item.
TEST_F(Batch, TruncatedInputEndsTheBatch) {
  const std::vector<BatchItem> items = {{1, 0, fact(3)}, {1, 0, fact(4)}, {1, 0, fact(5)}};
  const std::size_t second = 24 + 9 + items[0].record.size();
  const struct {
    const char* note;
    std::size_t cut;  // bytes of the second item kept
  } kCuts[] = {
      {"no aid", 0}, {"inside the aid", 3}, {"no flag", 4}, {"no length", 5},
      {"inside the length", 7}, {"no record", 9}, {"inside the record", 9 + items[1].record.size() - 1},
  };
  for (const auto& c : kCuts) {
    const std::string in = batch_input(handle_, fresh_ctx(), "", items).substr(0, second + c.cut);
    const BatchAnswer a = parse_batch_answer(call(vm_pipeline_batch_v1, in).bytes);
    EXPECT_TRUE(a.well_formed) << c.note;
    EXPECT_EQ(a.count, 3u) << c.note;
    ASSERT_EQ(a.packets.size(), 2u) << c.note;
    EXPECT_EQ(static_cast<unsigned char>(a.packets[0][0]), 63) << c.note;
    EXPECT_EQ(a.packets[1], "") << c.note;
  }
  // More items than N: the extra ones are not read.
  const BatchAnswer extra = parse_batch_answer(call(vm_pipeline_batch_v1, batch_input(handle_, fresh_ctx(), "", items, 1)).bytes);
  EXPECT_EQ(extra.packets.size(), 1u);
}

// A template id above 255 cannot travel: an empty entry, but the template is registered
// and its file written, and the batch goes on.
// The 233rd signature of a device takes the number of its least recently used template
// (here the first, 24) instead of one that no packet could carry.
TEST_F(Batch, ItemBeyondTemplateId255RecyclesANumber) {
  const ScratchRoot root("batch_tid256");
  std::vector<BatchItem> items;
  for (int i = 0; i < 233; ++i) {
    FactSpec f = vm::testing::example_fact();
    f.readings[0].id = "r" + std::to_string(i);
    items.push_back({42, 0, record(f)});
  }
  items.push_back({43, 0, fact(1)});
  const BatchAnswer a = parse_batch_answer(run_batch(fresh_ctx(), items, root.str()).bytes);
  ASSERT_EQ(a.packets.size(), 234u);
  EXPECT_EQ(static_cast<unsigned char>(a.packets[231][6]), 255);
  ASSERT_FALSE(a.packets[232].empty());
  EXPECT_EQ(static_cast<unsigned char>(a.packets[232][0]), 63);
  EXPECT_EQ(static_cast<unsigned char>(a.packets[232][6]), 24);
  EXPECT_EQ(static_cast<unsigned char>(a.packets[233][0]), 63);
  EXPECT_EQ(root.read(42).find("\"256\""), std::string::npos);
  EXPECT_TRUE(fs::exists(root.file_of(43)));
}

TEST_F(Batch, AnswerThatDoesNotFitStillAdvancesContextAndFiles) {
  const ScratchRoot root("batch_no_fit");
  const std::uint64_t ctx = fresh_ctx();
  const std::vector<BatchItem> items = {{5, 0, fact(1)}, {6, 0, fact(2)}};
  const Answer first = run_batch(ctx, items, root.str(), 10);
  ASSERT_LT(first.result, -10);
  EXPECT_TRUE(first.junk_intact);
  EXPECT_TRUE(fs::exists(root.file_of(5)));
  EXPECT_TRUE(fs::exists(root.file_of(6)));
  const BatchAnswer retry = parse_batch_answer(run_batch(ctx, items, root.str()).bytes);
  ASSERT_EQ(retry.packets.size(), 2u);
  // Never handed out, the full packets travel again.
  EXPECT_EQ(static_cast<unsigned char>(retry.packets[0][0]), 63);
  EXPECT_EQ(static_cast<unsigned char>(retry.packets[1][0]), 63);
  const std::string in = batch_input(handle_, ctx, root.str(), items);
  EXPECT_EQ(vm_pipeline_batch_v1(reinterpret_cast<const uint8_t*>(in.data()), in.size(), nullptr, 1000), -(4 + 2 * 20));
}

// A device's file after a batch holds what saving after every item would have left.
TEST_F(Batch, RegistryFileMatchesTheRunRequestsFile) {
  const ScratchRoot batch_root("batch_file"), run_root("batch_file_run");
  const std::vector<BatchItem> items = {{8, 0, fact(1)}, {9, 0, fact(1)}, {8, 0, fact(2, 1)}, {8, 0, fact(3, 2)}};
  ASSERT_EQ(parse_batch_answer(run_batch(fresh_ctx(), items, batch_root.str()).bytes).packets.size(), 4u);
  const std::uint64_t run_ctx = fresh_ctx();
  for (const auto& item : items) {
    RunRequest r{run_ctx, std::to_string(item.aid) + ";" + compress(handle_, item.record)};
    r.registry_root = run_root.str();
    ASSERT_FALSE(run(r).empty());
  }
  for (std::uint32_t aid : {8u, 9u}) {
    EXPECT_FALSE(batch_root.read(aid).empty());
    EXPECT_EQ(batch_root.read(aid), run_root.read(aid)) << aid;
  }
  // A fresh context finds the last values there: the first packet of a loaded template
  // travels whole (a restart frame), and the next one is a heartbeat.
  const BatchAnswer again =
      parse_batch_answer(run_batch(fresh_ctx(), {{8, 0, fact(3, 2)}, {8, 0, fact(3, 2)}}, batch_root.str()).bytes);
  ASSERT_EQ(again.packets.size(), 2u);
  EXPECT_EQ(static_cast<unsigned char>(again.packets[0][0]), 63);
  EXPECT_EQ(static_cast<unsigned char>(again.packets[1][0]), 127);
}

// A directory text that is not UTF-8 is no directory: nothing is read or written.
TEST_F(Batch, RootThatIsNotUtf8IsNoRoot) {
  const ScratchRoot root("batch_bad_root");
  const std::string bad = root.str() + "/sub\xFF";
  const std::uint64_t ctx = fresh_ctx();
  const BatchAnswer a = parse_batch_answer(run_batch(ctx, {{5, 0, fact(1)}}, bad).bytes);
  ASSERT_EQ(a.packets.size(), 1u);
  EXPECT_EQ(static_cast<unsigned char>(a.packets[0][0]), 63);
  EXPECT_TRUE(fs::is_empty(root.path()));
  // The templates are in the context all the same.
  const BatchAnswer b = parse_batch_answer(run_batch(ctx, {{5, 0, fact(1)}}, bad).bytes);
  EXPECT_EQ(static_cast<unsigned char>(b.packets[0][0]), 127);
}

}  // namespace
