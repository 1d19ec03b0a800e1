// Key frames asked of the library: the run request's "keyframe_every", "keyframe_seconds"
// and "now", and the batch's key-frame rule timed by each fact's timestamp. The count is
// the context's, per device, and every packet counts.
#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <vector>

#include "batch_support.h"

namespace {

using namespace requests;

constexpr const char* kFact = "n.s.AAAAAAAA|r>s.u:1|";

struct Step {
  double now;
  bool keyed = true;   // the request asks for key frames (else it names no rule)
  bool full = false;   // the caller asks for a full packet
  std::uint32_t aid = 1;
};

std::string keyed_request(std::uint64_t ctx, std::uint64_t every, double seconds, const Step& step) {
  RunRequest r{ctx, kFact, step.full ? "full" : "", step.aid};
  std::string json = r.json();
  if (step.keyed) {
    json.pop_back();
    json += ",\"keyframe_every\":" + std::to_string(every) + ",\"keyframe_seconds\":" + std::to_string(seconds) +
            ",\"now\":" + std::to_string(step.now) + "}";
  }
  return json;
}

TEST(KeyFrames, RunRequestRules) {
  const std::vector<Step> seven{{0}, {10}, {20}, {30}, {40}, {50}, {60}};
  const struct {
    const char* name;
    std::uint64_t every;
    double seconds;
    std::vector<Step> steps;
    std::vector<int> commands;
  } kCases[] = {
      {"every 3 packets", 3, 0, seven, {63, 127, 127, 63, 127, 127, 63}},
      {"every packet", 1, 0, {{0}, {0}, {0}}, {63, 63, 63}},
      {"every 25 seconds", 0, 25, seven, {63, 127, 127, 63, 127, 127, 63}},
      {"whichever comes first", 4, 25, {{0}, {1}, {2}, {3}, {4}, {30}, {31}}, {63, 127, 127, 127, 63, 63, 127}},
      {"off", 0, 0, {{0}, {0}, {0}, {0}}, {63, 127, 127, 127}},
      {"a full packet asked for restarts the count", 3, 0, {{0}, {0, true, true}, {0}, {0}, {0}},
       {63, 63, 127, 127, 63}},
      {"devices count apart", 2, 0, {{0, true, false, 1}, {0, true, false, 2}, {0, true, false, 1}, {0, true, false, 2}, {0, true, false, 1}},
       {63, 63, 127, 127, 63}},
      // A device the context knows but that never sent under key frames: its first packet
      // counts as one since a full one, so the bound holds from there on.
      {"known device, first counted", 3, 0, {{0, false}, {0, false}, {0}, {0}, {0}}, {63, 127, 127, 127, 63}},
      {"known device, every packet", 1, 0, {{0, false}, {0, false}, {0}}, {63, 127, 63}},
      {"known device, by time from its first packet", 0, 25, {{0, false}, {100}, {110}, {125}}, {63, 127, 127, 63}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::uint64_t ctx = fresh_ctx();
    std::vector<int> commands;
    for (const Step& step : c.steps) {
      const Answer a = call(vm_fusion_run_json_v1, keyed_request(ctx, c.every, c.seconds, step));
      commands.push_back(a.result > 0 ? static_cast<unsigned char>(a.bytes[0]) : -1);
    }
    EXPECT_EQ(commands, c.commands);
  }
}

TEST(KeyFrames, BadRuleMembersAreInvalidJson) {
  for (const char* member : {R"("keyframe_every":-1)", R"("keyframe_every":1.5)", R"("keyframe_seconds":"1")",
                             R"("now":true)"}) {
    SCOPED_TRACE(member);
    std::string json = RunRequest{fresh_ctx(), kFact}.json();
    json.insert(1, std::string(member) + ",");
    EXPECT_EQ(call(vm_fusion_run_json_v1, json).bytes, R"({"error":"invalid_json"})");
  }
}

// The batch times its key frames by the facts' own timestamps, and forces them as the run
// request does with those times as "now".
TEST(KeyFrames, BatchTimesThemByEachFact) {
  const std::uint64_t handle = create_compressor(vm::testing::example_config());
  ASSERT_NE(handle, 0u);
  const std::vector<double> times{0, 1, 2, 3, 4, 30, 31};
  std::vector<BatchItem> items;
  for (double t : times) {
    vm::testing::FactSpec f = vm::testing::example_fact();
    f.timestamp += t;
    items.push_back({9, 0, vm::testing::fact_record(f).bytes});
  }
  std::string in = batch_input(handle, fresh_ctx(), "", items);
  // The root length word gets the flag, the rule follows the (empty) root.
  in[20] = static_cast<char>(static_cast<unsigned char>(in[20]) | (VM_BATCH_KEY_FRAMES >> 24));
  std::string rule;
  put_u64(rule, 4);
  put_u64(rule, std::bit_cast<std::uint64_t>(25.0));
  in.insert(24, rule);
  const BatchAnswer answer = parse_batch_answer(call(vm_pipeline_batch_v1, in).bytes);
  ASSERT_EQ(answer.packets.size(), times.size());
  std::vector<int> commands;
  for (const std::string& p : answer.packets) commands.push_back(p.empty() ? -1 : static_cast<unsigned char>(p[0]));
  EXPECT_EQ(commands, (std::vector<int>{63, 127, 127, 127, 63, 63, 127}));
  // Cut inside the rule: the whole batch fails.
  EXPECT_EQ(call(vm_pipeline_batch_v1, in.substr(0, 24 + 12)).result, 0);
  vm_compressor_free_v1(handle);
}

}  // namespace
