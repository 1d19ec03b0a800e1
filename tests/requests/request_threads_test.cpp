// The requests from several threads at once: each worker sends and receives its own
// devices, both in contexts of its own and in one sender and one receiver context shared
// by all workers. Templates are per device, so every answer must equal the answer of a
// single-threaded replay of the same worker. Meant to run clean under ThreadSanitizer.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "batch_support.h"
#include "compact_view_reference.h"

namespace {

using namespace requests;
using vm::testing::FactSpec;

constexpr int kWorkers = 4;
constexpr int kSteps = 40;

// The contexts and registry directories of one run (replay or threaded).
struct Setting {
  std::uint64_t shared_sender, shared_receiver;
  std::vector<std::uint64_t> own_sender, own_receiver;  // per worker
  std::string sender_root, receiver_root;
};

Setting make_setting(const ScratchRoot& senders, const ScratchRoot& receivers) {
  Setting s{fresh_ctx(), fresh_ctx(), {}, {}, senders.str(), receivers.str()};
  for (int w = 0; w < kWorkers; ++w) {
    s.own_sender.push_back(fresh_ctx());
    s.own_receiver.push_back(fresh_ctx());
  }
  return s;
}

// Step i of worker w: three readings whose values move slowly, now and then a geohash
// (another template) and a msg.
FactSpec fact_of(int w, int i) {
  FactSpec f;
  f.id = "worker" + std::to_string(w);
  f.s = "online";
  f.timestamp = 1700000000.0 + i;
  for (int r = 0; r < 3; ++r) f.readings.push_back({"r" + std::to_string(r), "ok", static_cast<double>((i / (r + 2)) % 4), "celsius"});
  if (i % 7 == 3) f.geohash = "u4pruyd";
  f.msg = "step " + std::to_string(i % 5);
  return f;
}

// Everything worker w sends and receives, in order: for each packet the compact fact it
// carries, the packet, and the receiver's answer to it.
std::vector<std::string> work(int w, const Setting& s, std::uint64_t handle) {
  std::vector<std::string> log;
  const struct {
    std::uint64_t sender, receiver;
    std::uint32_t aid;
  } lanes[] = {{s.own_sender[w], s.own_receiver[w], static_cast<std::uint32_t>(100 + w)},
               {s.shared_sender, s.shared_receiver, static_cast<std::uint32_t>(200 + w)}};
  for (int i = 0; i < kSteps; ++i) {
    for (const auto& lane : lanes) {
      std::vector<std::string> packets, compacts;
      const std::string record = vm::testing::fact_record(fact_of(w, i)).bytes;
      compacts.push_back(compress(handle, record));
      if (i % 3 == 2) {  // a batch of this fact and the next one, the latter forced full
        const std::string next = vm::testing::fact_record(fact_of(w, i + 1)).bytes;
        compacts.push_back(compress(handle, next));
        const std::string in = batch_input(handle, lane.sender, s.sender_root, {{lane.aid, 0, record}, {lane.aid, 1, next}});
        packets = parse_batch_answer(call(vm_pipeline_batch_v1, in).bytes).packets;
      } else {
        const RunRequest r{lane.sender, std::to_string(lane.aid) + ";" + compacts[0], "", std::nullopt, s.sender_root};
        packets.push_back(call(i % 2 ? vm_fusion_relay_json_v1 : vm_fusion_run_json_v1, r.json()).bytes);
      }
      for (std::size_t k = 0; k < packets.size(); ++k) {
        log.push_back(compacts[k]);
        log.push_back(packets[k]);
        log.push_back(decompress(lane.receiver, packets[k], s.receiver_root));
      }
    }
  }
  return log;
}

TEST(RequestThreads, EveryAnswerEqualsASingleThreadedReplay) {
  const std::uint64_t handle = create_compressor(vm::testing::example_config());
  ASSERT_NE(handle, 0u);

  const ScratchRoot replay_senders("threads_replay_s"), replay_receivers("threads_replay_r");
  const Setting replay_setting = make_setting(replay_senders, replay_receivers);
  std::vector<std::vector<std::string>> replay(kWorkers);
  for (int w = 0; w < kWorkers; ++w) replay[w] = work(w, replay_setting, handle);

  // The replay itself is sound: every answer is the view of the fact it carries, and all
  // three kinds of packet occur.
  std::set<int> commands;
  for (int w = 0; w < kWorkers; ++w) {
    ASSERT_EQ(replay[w].size() % 3, 0u);
    for (std::size_t k = 0; k < replay[w].size(); k += 3) {
      const std::string& p = replay[w][k + 1];
      ASSERT_GE(p.size(), 16u);
      commands.insert(static_cast<unsigned char>(p[0]));
      EXPECT_EQ(replay[w][k + 2], expected_answer(p, replay[w][k]));
    }
  }
  EXPECT_EQ(commands, (std::set<int>{63, 127, 170}));

  const ScratchRoot senders("threads_s"), receivers("threads_r");
  const Setting setting = make_setting(senders, receivers);
  std::vector<std::vector<std::string>> threaded(kWorkers);
  std::vector<std::thread> threads;
  for (int w = 0; w < kWorkers; ++w) {
    threads.emplace_back([&, w] { threaded[w] = work(w, setting, handle); });
  }
  for (auto& t : threads) t.join();
  for (int w = 0; w < kWorkers; ++w) EXPECT_EQ(threaded[w], replay[w]) << "worker " << w;
  EXPECT_EQ(vm_compressor_free_v1(handle), 1);
}

}  // namespace
