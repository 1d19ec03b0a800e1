// The gateway's reading of real typed receive outcomes (fact, unknown template, not
// applicable, state mismatch, CRC mismatch, malformed packets), the fact message it
// publishes, broker address lists, and the partition lock that keeps two gateways from
// writing one device's files.
#include <gtest/gtest.h>

#include <simdjson.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "broker.h"
#include "codec.h"
#include "gateway_checkpoints.h"
#include "gateway_outcome.h"
#include "library.h"
#include "partition_fence.h"
#include "velmarinthos_tavkin.h"

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
  // What the gateway makes of the packet: its dead reason, nullopt for a fact.
  std::optional<DeadReason> receive(std::uint64_t receiver_ctx, std::string_view packet, bool state_check = true) {
    std::int32_t outcome = -1;
    const std::uint32_t flags = state_check ? VM_RECEIVE_STATE_CHECK : 0u;
    EXPECT_EQ(vm_receive_packet_v1(receiver_ctx, nullptr, 0, flags, reinterpret_cast<const std::uint8_t*>(packet.data()),
                                   packet.size(),
                                   [](void* user, const vm_received_v1* r) { *static_cast<std::int32_t*>(user) = r->outcome; },
                                   &outcome),
              1);
    return dead_reason_of(outcome);
  }
  std::string buffer_;
};

TEST_F(DecompressAnswers, OutcomesGiveTheDeadReasons) {
  const std::string full = packet(9101);
  const std::string heartbeat = packet(9101);  // the same fact again: a heartbeat
  ASSERT_EQ(static_cast<unsigned char>(heartbeat[0]), 127);
  std::string flipped = full;
  flipped[20] ^= 0x01;

  // A heartbeat for a template this receiver never learnt.
  EXPECT_EQ(receive(9102, heartbeat), DeadReason::unknown_template);
  EXPECT_EQ(receive(9102, flipped), DeadReason::crc_mismatch);
  for (const std::string_view bad : {std::string_view("\x3f\x01\x00", 3), std::string_view("\x3f\x02\x00\x00\x00\x00\x00", 7),
                                     std::string_view("\xba\x01\x01\x00", 4)}) {
    EXPECT_EQ(receive(9102, bad), DeadReason::malformed);
  }
  // Learnt from the full packet, the heartbeat decodes.
  EXPECT_EQ(receive(9102, full), std::nullopt);
  EXPECT_EQ(receive(9102, heartbeat), std::nullopt);
  // Outcomes that are not dead, and one the gateway does not know.
  EXPECT_EQ(dead_reason_of(VM_RECEIVE_ALREADY_APPLIED), std::nullopt);
  EXPECT_EQ(dead_reason_of(VM_RECEIVE_NOT_APPLICABLE), DeadReason::not_applicable);
  EXPECT_EQ(dead_reason_of(99), DeadReason::malformed);
  for (const DeadReason r : {DeadReason::unknown_template, DeadReason::not_applicable, DeadReason::state_mismatch,
                             DeadReason::crc_mismatch, DeadReason::malformed}) {
    EXPECT_FALSE(dead_reason_text(r).empty());
  }
  EXPECT_EQ(dead_reason_name(DeadReason::not_applicable), "not_applicable");
  EXPECT_EQ(dead_reason_text(DeadReason::not_applicable), "template cannot take this packet");
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

  for (const bool checking : {true, false}) {
    SCOPED_TRACE(checking ? "checking" : "plain");
    const std::uint64_t ctx = checking ? 9152 : 9153;
    ASSERT_EQ(receive(ctx, full, checking), std::nullopt);
    if (!checking) {
      // Without the check the fact is rebuilt on the stale state: t1 as the full packet had it.
      const std::string wrong = decode(ctx, diff, checking);
      EXPECT_EQ(wrong.find("\"error\""), std::string::npos) << wrong;
      EXPECT_NE(wrong.find("\"s1_v\":0.215,"), std::string::npos) << wrong;
      continue;
    }
    EXPECT_EQ(receive(ctx, diff, checking), DeadReason::state_mismatch);
    EXPECT_EQ(receive(ctx, beat, checking), DeadReason::state_mismatch);
    EXPECT_EQ(receive(ctx, again, checking), std::nullopt);
    EXPECT_EQ(receive(ctx, after, checking), std::nullopt);
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

class HandOver : public testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() /
            ("tavkin-handover-" + std::to_string(::getpid()) + "-" + testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  std::filesystem::path root_;
};

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

// Packets redelivered after a checkpoint whose acks were lost are recognised only while the
// library remembers them (its window per device), so no device may take more than half of
// it between checkpoints; a message too large for the rest of it waits for a checkpoint,
// unless it comes first (it could never fit otherwise).
TEST(CheckpointTracker, AsksForACheckpointBeforeADevicePassesHalfTheWindow) {
  const auto now = CheckpointTracker::Clock::now();
  CheckpointTracker tracker(2, {.packets = 1000, .after = std::chrono::hours(1), .per_device = 4});
  const std::vector<std::uint32_t> three_of_7{7, 7, 7}, one_of_7{7}, two_of_7{7, 7}, one_of_8{8};
  EXPECT_FALSE(tracker.anything_decoded());
  tracker.decoded(0, 1, three_of_7, 3, now);
  EXPECT_FALSE(tracker.due(now));
  EXPECT_FALSE(tracker.fits_window(two_of_7));
  EXPECT_TRUE(tracker.fits_window(one_of_8));
  EXPECT_TRUE(tracker.fits_window(one_of_7));
  tracker.decoded(1, 5, one_of_7, 1, now);
  EXPECT_TRUE(tracker.due(now));
  EXPECT_FALSE(tracker.fits_window(one_of_7));
  EXPECT_EQ(tracker.acks_due(), (std::vector<std::pair<std::uint32_t, std::uint64_t>>{{0, 1}, {1, 5}}));

  tracker.checkpointed();
  EXPECT_FALSE(tracker.due(now));
  EXPECT_TRUE(tracker.acks_due().empty());
  const std::vector<std::uint32_t> six_of_7(6, 7);
  EXPECT_TRUE(tracker.fits_window(six_of_7));
}

// Confirms and rejects settle publishes by number, one or with `multiple`; a rejected one
// leaves the tracker to be published again under a new number.
TEST(CheckpointTracker, SettlesPublishesByNumber) {
  CheckpointTracker tracker(1, {});
  for (int i = 1; i <= 5; ++i) tracker.published({false, "k", std::to_string(i), {}});
  tracker.confirmed(2, true);
  EXPECT_EQ(tracker.unconfirmed(), 3u);
  tracker.confirmed(4, false);
  EXPECT_EQ(tracker.unconfirmed(), 2u);
  const auto again = tracker.rejected(5, true);
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(again[0].body, "3");
  EXPECT_EQ(again[1].body, "5");
  EXPECT_TRUE(tracker.all_confirmed());
  tracker.published(again[0]);  // number 6
  tracker.confirmed(5, true);   // a late confirm of numbers already settled changes nothing
  EXPECT_EQ(tracker.unconfirmed(), 1u);
  tracker.confirmed(6, false);
  EXPECT_TRUE(tracker.all_confirmed());
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
