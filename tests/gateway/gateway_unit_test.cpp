// The gateway's reading of real decompress answers (fact, unknown template, state mismatch,
// CRC mismatch, malformed packets), the fact message it publishes, broker address lists, and the fence
// that keeps a hand-over from decoding on a file one packet ahead.
#include <gtest/gtest.h>

#include <simdjson.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <random>
#include <vector>

#include "broker.h"
#include "codec.h"
#include "device_queue.h"
#include "gateway_outcome.h"
#include "library.h"
#include "partition_fence.h"
#include "registry_file.h"

namespace tavkin {
namespace {

constexpr std::string_view kText = "node7.1.AYvP5WgA|t1>0.c1:yG|h>0.m/s2:q0U|";
constexpr std::uint32_t kAid = 305419896;

class DecompressAnswers : public testing::Test {
 protected:
  std::string packet(std::uint64_t sender_ctx, std::string_view text = kText, bool full = false) {
    const Answer a = call_run(run_request(sender_ctx, text, kAid, full, "", true), text.size(), buffer_);
    return std::string(a.bytes);
  }
  std::string decode(std::uint64_t receiver_ctx, std::string_view packet, bool state_check = true) {
    const std::string request =
        decompress_request(receiver_ctx, base64_encode(packet, Base64Alphabet::standard), "", state_check);
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

// A receiver that missed a difference: the checking gateway dead-letters what follows as a
// state mismatch, apart from unknown templates, until the device's next full packet; a
// gateway that does not check publishes a wrong fact instead.
TEST_F(DecompressAnswers, StateMismatchIsItsOwnReasonUntilTheNextFullPacket) {
  const std::string full = packet(9151);
  const std::string lost = packet(9151, "node7.1.AYvP5WhA|t1>0.c1:yH|h>0.m/s2:q0U|");
  const std::string diff = packet(9151, "node7.1.AYvP5WiA|t1>0.c1:yH|h>0.m/s2:q0V|");
  const std::string beat = packet(9151, "node7.1.AYvP5WjA|t1>0.c1:yH|h>0.m/s2:q0V|");
  const std::string again = packet(9151, "node7.1.AYvP5WkA|t1>0.c1:yH|h>0.m/s2:q0V|", true);
  const std::string after = packet(9151, "node7.1.AYvP5WlA|t1>0.c1:yH|h>0.m/s2:q0V|");
  ASSERT_EQ(std::vector<int>({static_cast<unsigned char>(lost[0]), static_cast<unsigned char>(diff[0]),
                              static_cast<unsigned char>(beat[0]), static_cast<unsigned char>(again[0])}),
            std::vector<int>({170, 170, 127, 63}));

  std::string error;
  for (const bool checking : {true, false}) {
    SCOPED_TRACE(checking ? "checking" : "plain");
    const std::uint64_t ctx = checking ? 9152 : 9153;
    ASSERT_FALSE(classify_answer(decode(ctx, full, checking), error));
    const std::string wrong = decode(ctx, diff, checking);
    if (!checking) {
      // Without the check the fact is rebuilt on the stale state: t1 as the full packet had it.
      EXPECT_FALSE(classify_answer(wrong, error));
      EXPECT_NE(wrong.find("\"s1_v\":0.215,"), std::string::npos) << wrong;
      continue;
    }
    EXPECT_EQ(classify_answer(wrong, error), DeadReason::state_mismatch) << wrong;
    EXPECT_EQ(error, "state_mismatch");
    EXPECT_EQ(dead_reason_name(DeadReason::state_mismatch), "state_mismatch");
    // The answer names the device that needs a full packet.
    EXPECT_NE(wrong.find("\"source_aid\":305419896"), std::string::npos) << wrong;
    EXPECT_EQ(classify_answer(decode(ctx, beat, checking), error), DeadReason::state_mismatch);
    EXPECT_FALSE(classify_answer(decode(ctx, again, checking), error)) << error;
    EXPECT_FALSE(classify_answer(decode(ctx, after, checking), error)) << error;
  }
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

class HandOver : public testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() /
            ("tavkin-handover-" + std::to_string(::getpid()) + "-" + testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  std::string packet(std::uint64_t sender_ctx, std::string_view text) {
    const Answer a = call_run(run_request(sender_ctx, text, kAid, false, "", true), text.size(), buffer_);
    return std::string(a.bytes);
  }
  std::string decode(std::uint64_t receiver_ctx, std::string_view packet) {
    const std::string request =
        decompress_request(receiver_ctx, base64_encode(packet, Base64Alphabet::standard), root_.string(), true);
    const Answer a = call_decompress(request, 4096, buffer_);
    return std::string(a.result > 0 ? a.bytes : "");
  }

  std::filesystem::path root_;
  std::string buffer_;
};

// A gateway decodes p1 and p2 and acknowledges both, but the broker never gets p2's
// acknowledgement; it decodes p3, then loses its connection. The next gateway gets p2 and
// p3 again and must answer them as the first did. Without the files put back, p2 would be
// decoded on the state p3 left and take p3's humidity.
TEST_F(HandOver, RedeliveredPacketsDecodeAsBeforeOnceTheFilesArePutBack) {
  const std::string p1 = packet(9301, "node7.1.AYvP5WgA|t1>0.c1:yG|h>0.m/s2:q0U|");
  const std::string p2 = packet(9301, "node7.1.AYvP5WhA|t1>0.c1:yH|h>0.m/s2:q0U|");
  const std::string p3 = packet(9301, "node7.1.AYvP5WiA|t1>0.c1:yH|h>0.m/s2:q0V|");
  for (const bool put_back : {false, true}) {
    SCOPED_TRACE(put_back ? "files put back" : "files left");
    std::filesystem::remove_all(root_ / "00");
    const std::uint64_t first = put_back ? 9310 : 9320, next = first + 1;
    DeviceSnapshots snapshots(root_.string());
    std::vector<std::string> answers;
    for (const std::string* p : {&p1, &p2, &p3}) {
      snapshots.take(kAid);
      answers.push_back(decode(first, *p));
      ASSERT_FALSE(answers.back().empty());
      if (p != &p3) snapshots.forget(kAid);  // acknowledged
    }
    EXPECT_NE(answers[1], answers[2]);
    std::string errors;
    if (put_back) {
      EXPECT_EQ(snapshots.restore_all(errors), 1u);
      EXPECT_EQ(errors, "");
    }
    const bool same = decode(next, p2) == answers[1] && decode(next, p3) == answers[2];
    EXPECT_EQ(same, put_back);
  }
}

// A device without a file before its first packet has none again after the put-back; a
// device whose packet was acknowledged keeps its file; one that could not be read is left.
TEST_F(HandOver, PutBackRemovesNewFilesAndLeavesAcknowledgedOnes) {
  const std::string p1 = packet(9401, "node7.1.AYvP5WgA|t1>0.c1:yG|h>0.m/s2:q0U|");
  DeviceSnapshots snapshots(root_.string());
  snapshots.take(kAid);
  ASSERT_FALSE(decode(9410, p1).empty());
  const std::string path = device_file_path(root_.string(), kAid);
  ASSERT_TRUE(std::filesystem::exists(path));
  std::string errors;
  EXPECT_EQ(snapshots.restore_all(errors), 1u);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(snapshots.size(), 0u);

  snapshots.take(kAid);
  ASSERT_FALSE(decode(9411, p1).empty());
  snapshots.forget(kAid);
  EXPECT_EQ(snapshots.restore_all(errors), 0u);
  EXPECT_TRUE(std::filesystem::exists(path));

  // A file that cannot be read before the decode is never written over with a part of it.
  const std::string unreadable = device_file_path(root_.string(), kAid + 1);
  std::filesystem::create_directories(unreadable);
  snapshots.take(kAid + 1);
  EXPECT_EQ(snapshots.restore_all(errors), 0u);
  EXPECT_NE(errors.find("could not be read"), std::string::npos) << errors;
  EXPECT_TRUE(std::filesystem::is_directory(unreadable));
}

// One holder per partition across processes; the kernel lets go when the holder is killed.
TEST_F(HandOver, PartitionLockHasOneHolderAndGoesWithAKilledProcess) {
  std::string error;
  PartitionLock first, second;
  ASSERT_TRUE(first.try_acquire(root_.string(), "packets.3", error)) << error;
  EXPECT_FALSE(second.try_acquire(root_.string(), "packets.3", error));
  EXPECT_EQ(error, "");
  PartitionLock other;
  EXPECT_TRUE(other.try_acquire(root_.string(), "packets.4", error));
  first.release();
  EXPECT_TRUE(second.try_acquire(root_.string(), "packets.3", error));
  second.release();

  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    PartitionLock held;
    std::string child_error;
    const char byte = held.try_acquire(root_.string(), "packets.3", child_error) ? 'y' : 'n';
    (void)!::write(ready[1], &byte, 1);
    ::pause();
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'y');
  EXPECT_FALSE(first.try_acquire(root_.string(), "packets.3", error));
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_TRUE(first.try_acquire(root_.string(), "packets.3", error));
  ::close(ready[0]);
  ::close(ready[1]);
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
