// The gateway's reading of real decompress answers (fact, unknown template, CRC mismatch,
// malformed packets), the fact message it publishes, and broker address lists.
#include <gtest/gtest.h>

#include <simdjson.h>

#include <map>
#include <random>
#include <vector>

#include "broker.h"
#include "codec.h"
#include "device_queue.h"
#include "gateway_outcome.h"
#include "library.h"

namespace tavkin {
namespace {

constexpr std::string_view kText = "node7.1.AYvP5WgA|t1>0.c1:yG|h>0.m/s2:q0U|";
constexpr std::uint32_t kAid = 305419896;

class DecompressAnswers : public testing::Test {
 protected:
  std::string packet(std::uint64_t sender_ctx) {
    const Answer a = call_run(run_request(sender_ctx, kText, kAid, false, ""), kText.size(), buffer_);
    return std::string(a.bytes);
  }
  std::string decode(std::uint64_t receiver_ctx, std::string_view packet) {
    const std::string request =
        decompress_request(receiver_ctx, base64_encode(packet, Base64Alphabet::standard), "");
    const Answer a = call_decompress(request, 4096, buffer_);
    return std::string(a.result > 0 ? a.bytes : "");
  }
  std::string buffer_;
};

TEST_F(DecompressAnswers, AreClassifiedByTheLibrarysErrorTexts) {
  const std::string full = packet(9101);
  const std::string heartbeat = packet(9101);  // the same fact again: a heartbeat
  ASSERT_EQ(static_cast<unsigned char>(heartbeat[0]), 127);
  std::string flipped = full;
  flipped[20] ^= 0x01;

  std::string error;
  // A heartbeat for a template this receiver never learnt.
  EXPECT_EQ(classify_answer(decode(9102, heartbeat), error), DeadReason::unknown_template);
  EXPECT_EQ(error, "fusion_receive_apply_failed");
  EXPECT_EQ(classify_answer(decode(9102, flipped), error), DeadReason::crc_mismatch);
  EXPECT_EQ(error, "CRC16 mismatch");
  for (const std::string_view bad : {std::string_view("\x3f\x01\x00", 3), std::string_view("\x3f\x02\x00\x00\x00\x00\x00", 7)}) {
    EXPECT_EQ(classify_answer(decode(9102, bad), error), DeadReason::malformed) << error;
  }
  EXPECT_EQ(classify_answer("", error), DeadReason::malformed);
  // Learnt from the full packet, the heartbeat decodes.
  EXPECT_FALSE(classify_answer(decode(9102, full), error));
  EXPECT_FALSE(classify_answer(decode(9102, heartbeat), error));
}

TEST_F(DecompressAnswers, FactMessageKeepsTheAnswerAndAddsTheGatewaysMembers) {
  const std::string answer = decode(9202, packet(9201));
  const std::string key = dedup_key(kAid, 24, 1700000000000);
  EXPECT_EQ(key, "305419896:24:1700000000000");
  const std::string message = fact_message(answer, {kAid, 3, "gw\"1", key, true});

  simdjson::dom::parser parser;
  simdjson::dom::object out, in;
  ASSERT_EQ(parser.parse(message).get(out), simdjson::SUCCESS) << message;
  EXPECT_EQ(std::uint64_t(out["device"]), kAid);
  EXPECT_EQ(std::uint64_t(out["partition"]), 3u);
  EXPECT_EQ(std::string_view(out["gateway"]), "gw\"1");
  EXPECT_EQ(std::string_view(out["dedup_key"]), key);
  EXPECT_TRUE(bool(out["redelivered"]));
  std::size_t answer_members = 0;
  simdjson::dom::parser answer_parser;
  ASSERT_EQ(answer_parser.parse(answer).get(in), simdjson::SUCCESS);
  for (const auto field : in) {
    ++answer_members;
    EXPECT_EQ(simdjson::minify(out[field.key]), simdjson::minify(field.value)) << field.key;
  }
  EXPECT_EQ(out.size(), answer_members + 5);
  EXPECT_EQ(fact_message("{}", {1, 0, "g", "1:24:5", false}),
            R"({"device":1,"partition":0,"gateway":"g","dedup_key":"1:24:5","redelivered":false})");
}

// Packets of one device are worked on one at a time, in arrival order; other devices are
// never held up by a busy one. Checked against a model over seeded random interleavings.
TEST(DeviceQueue, OneInWorkPerDeviceInArrivalOrder) {
  const auto seed = std::random_device{}();
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  for (int round = 0; round < 200; ++round) {
    DeviceQueue<int> queue;
    std::map<std::uint32_t, int> in_work;           // device -> item in work
    std::map<std::uint32_t, std::vector<int>> sent;  // device -> items in arrival order
    std::map<std::uint32_t, std::vector<int>> worked;
    int next_item = 0;
    auto start = [&](std::uint32_t device, int item) {
      ASSERT_FALSE(in_work.contains(device)) << "two items of device " << device << " in work";
      in_work[device] = item;
      worked[device].push_back(item);
    };
    for (int step = 0; step < 300; ++step) {
      if (rng() % 2 == 0 || in_work.empty()) {
        const std::uint32_t device = rng() % 5;
        const int item = next_item++;
        sent[device].push_back(item);
        const bool was_free = !in_work.contains(device);
        const auto now = queue.admit(device, item);
        EXPECT_EQ(now.has_value(), was_free);
        if (now) start(device, *now);
      } else {
        auto it = in_work.begin();
        std::advance(it, rng() % in_work.size());
        const std::uint32_t device = it->first;
        in_work.erase(it);
        if (const auto next = queue.release(device)) start(device, *next);
      }
    }
    while (!in_work.empty()) {
      const std::uint32_t device = in_work.begin()->first;
      in_work.erase(in_work.begin());
      if (const auto next = queue.release(device)) start(device, *next);
    }
    EXPECT_EQ(queue.waiting(), 0u);
    EXPECT_EQ(worked, sent);
  }
}

TEST(BrokerAddresses, ReadAsHostAndPortLists) {
  std::string error;
  const auto two = parse_brokers("127.0.0.1:47101,localhost", error);
  ASSERT_TRUE(two) << error;
  ASSERT_EQ(two->size(), 2u);
  EXPECT_EQ((*two)[0].host, "127.0.0.1");
  EXPECT_EQ((*two)[0].port, 47101);
  EXPECT_EQ((*two)[1].host, "localhost");
  EXPECT_EQ((*two)[1].port, 5672);
  for (const char* bad : {"", "host:0", "host:65536", "host:12x", ":5672", "a:1,,b"}) {
    EXPECT_FALSE(parse_brokers(bad, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

}  // namespace
}  // namespace tavkin
