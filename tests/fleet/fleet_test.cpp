// Facts that must never come back wrong while a fleet runs for months: a fact that cannot
// become a packet changes nothing, devices that move never run out of template numbers,
// a receiver reloaded from its files carries on, and a sender killed at any moment and
// restarted on its files gives no wrong fact at a receiver that kept running.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "../requests/batch_support.h"
#include "fleet_support.h"

namespace fleet {
namespace {

std::uint64_t fresh_context() {
  static std::uint64_t next = 9'100'000'000;
  return next++;
}

std::uint64_t seed() {
  if (const char* s = std::getenv("VM_TEST_SEED")) return std::strtoull(s, nullptr, 10);
  return std::random_device{}();
}

// A fact whose timestamp text no packet can carry used to be encoded first: its values
// were stored although no packet left, and the next fact with those values went out as a
// heartbeat that the receiver rebuilt with the older values.
TEST(FactWithoutPacket, ChangesNoTemplate) {
  static const char* const kBadTimestamps[] = {"AYvP5W", "AYvP5W*A", "AYvP5Wg", "", "AYvP5WgA==", "AYvP\xc3\xa9WgA"};
  for (const char* bad : kBadTimestamps) {
    SCOPED_TRACE(std::string("timestamp text ") + bad);
    const std::uint64_t sender = fresh_context(), receiver = fresh_context();
    Tally tally;
    const std::string first = "n.s.AYvP5WgA|t>0.c:5|";
    receive(receiver, {}, call(vm_fusion_run_json_v1, run_request(sender, first)), first, tally);
    EXPECT_EQ(call(vm_fusion_run_json_v1, run_request(sender, std::string("n.s.") + bad + "|t>0.c:7|")), "");
    const std::string next = "n.s.AYvP5WgB|t>0.c:7|";
    const std::string packet = call(vm_fusion_run_json_v1, run_request(sender, next));
    ASSERT_FALSE(packet.empty());
    EXPECT_EQ(static_cast<unsigned char>(packet[0]), 170) << "the 7 must travel as a change";
    receive(receiver, {}, packet, next, tally);
    // A new template behind a bad timestamp must not be registered either: its first good
    // fact travels whole.
    const std::string other = "n.s.AYvP5WgC|q>0.c:1|";
    EXPECT_EQ(call(vm_fusion_run_json_v1, run_request(sender, std::string("n.s.") + bad + "|q>0.c:1|")), "");
    const std::string whole = call(vm_fusion_run_json_v1, run_request(sender, other));
    ASSERT_FALSE(whole.empty());
    EXPECT_EQ(static_cast<unsigned char>(whole[0]), 63);
    receive(receiver, {}, whole, other, tally);
    EXPECT_EQ(tally.right, 3u);
  }
}

// In a batch, a node id holding "|" after a "." leaves a text whose timestamp text is not
// one: its item has no packet, and neither its template nor its file may change.
TEST(FactWithoutPacket, BatchItemChangesNoTemplateAndWritesNoFile) {
  const Root root("batch_bad_ts");
  const std::uint64_t handle = requests::create_compressor(vm::testing::example_config());
  vm::testing::FactSpec bad = vm::testing::example_fact();
  bad.id = "n.x|y";
  const std::string in = requests::batch_input(handle, fresh_context(), root.str(),
                                               {{77, 0, vm::testing::fact_record(bad).bytes}});
  const requests::BatchAnswer answer = requests::parse_batch_answer(requests::call(vm_pipeline_batch_v1, in).bytes);
  ASSERT_EQ(answer.packets.size(), 1u);
  EXPECT_EQ(answer.packets[0], "");
  EXPECT_EQ(root.templates_in_file(77), 0u) << "no file for a device that sent nothing";
  vm_compressor_free_v1(handle);
}

// The run road for a moving device: every fact arrives exactly, the file stays bounded,
// and a receiver that restarts on its files (a new context on the same root) carries on.
TEST(MovingDevice, NeverRunsOutOfTemplateNumbersThroughRunRequests) {
  constexpr std::uint32_t kAid = 4242;
  constexpr std::uint64_t kFacts = 100'000;
  const Root sender_root("run_tx"), receiver_root("run_rx");
  const std::uint64_t sender = fresh_context();
  std::uint64_t receiver = fresh_context();
  Tally tally;
  std::size_t most_templates = 0;
  for (std::uint64_t i = 0; i < kFacts; ++i) {
    const std::string text = i % 4 == 3 ? steady_fact(kAid + 1, i) : moving_fact(kAid, i);
    const std::string packet = call(vm_fusion_run_json_v1, run_request(sender, text, sender_root.str()));
    ASSERT_GE(packet.size(), 16u) << "fact " << i << " gave no packet: " << text;
    receive(receiver, receiver_root.str(), packet, text, tally);
    if (i % 10'000 == 9'999) most_templates = std::max(most_templates, sender_root.templates_in_file(kAid));
    if (i == kFacts / 2) receiver = fresh_context();
  }
  EXPECT_EQ(tally.right, kFacts);
  EXPECT_EQ(tally.wrong, 0u);
  EXPECT_EQ(tally.no_answer, 0u);
  EXPECT_EQ(most_templates, 256u - 24u) << "numbers 24 to 255, each recycled";
  EXPECT_EQ(receiver_root.templates_in_file(kAid), 256u - 24u);
}

std::string compressed(std::uint64_t handle, const vm::testing::FactSpec& fact) {
  return requests::compress(handle, vm::testing::fact_record(fact).bytes);
}

vm::testing::FactSpec moving_spec(std::uint64_t i) {
  vm::testing::FactSpec f{"truck", "online", 1'700'000'000.0 + static_cast<double>(i), {}, {}, {}, {}};
  f.readings.push_back({"t", "ok", static_cast<double>(i % 17), "Celsius"});
  f.geohash = "g" + std::to_string(i % 5 == 0 ? i % 3 : (i * 7919) % 1000);
  if (i % 11 == 0) f.msg = "note " + std::to_string(i % 4);
  return f;
}

TEST(MovingDevice, NeverRunsOutOfTemplateNumbersThroughBatches) {
  constexpr std::uint32_t kAid = 5151;
  constexpr std::uint64_t kFacts = 100'000, kPerBatch = 250;
  const Root sender_root("batch_tx"), receiver_root("batch_rx");
  const std::uint64_t handle = requests::create_compressor(vm::testing::example_config());
  const std::uint64_t sender = fresh_context();
  std::uint64_t receiver = fresh_context();
  Tally tally;
  for (std::uint64_t first = 0; first < kFacts; first += kPerBatch) {
    std::vector<requests::BatchItem> items;
    std::vector<std::string> texts;
    for (std::uint64_t i = first; i < first + kPerBatch; ++i) {
      items.push_back({kAid, 0, vm::testing::fact_record(moving_spec(i)).bytes});
      texts.push_back(std::to_string(kAid) + ";" + compressed(handle, moving_spec(i)));
    }
    const auto answer = requests::parse_batch_answer(
        requests::call(vm_pipeline_batch_v1, requests::batch_input(handle, sender, sender_root.str(), items), 1 << 20)
            .bytes);
    ASSERT_EQ(answer.packets.size(), kPerBatch);
    for (std::size_t k = 0; k < kPerBatch; ++k) {
      ASSERT_FALSE(answer.packets[k].empty()) << "fact " << first + k;
      receive(receiver, receiver_root.str(), answer.packets[k], texts[k], tally);
    }
    ASSERT_LE(sender_root.templates_in_file(kAid), 256u);
    if (first == kFacts / 2) receiver = fresh_context();
  }
  EXPECT_EQ(tally.right, kFacts);
  EXPECT_EQ(tally.wrong, 0u);
  EXPECT_EQ(tally.no_answer, 0u);
  vm_compressor_free_v1(handle);
}

// A sender process that sends facts first..count-1 in order, each packet written to `fd`
// behind its 4-byte length in one write, until it is killed. Run requests, or batches of
// up to eight facts.
[[noreturn]] void sender_process(int fd, const std::string& root, std::uint64_t ctx, std::uint64_t first,
                                 std::uint64_t count, bool batches, std::uint64_t handle) {
  const auto put = [&](const std::string& packet) {
    std::string framed;
    requests::put_u32(framed, static_cast<std::uint32_t>(packet.size()));
    framed += packet;
    if (::write(fd, framed.data(), framed.size()) != static_cast<ssize_t>(framed.size())) ::_exit(3);
  };
  for (std::uint64_t i = first; i < count;) {
    if (!batches) {
      const std::string text = i % 2 ? steady_fact(2, i) : moving_fact(1, i, 300);
      const std::string packet = call(vm_fusion_run_json_v1, run_request(ctx, text, root));
      if (packet.size() < 16) ::_exit(2);
      put(packet);
      ++i;
      continue;
    }
    std::vector<requests::BatchItem> items;
    for (std::uint64_t k = i; k < std::min(count, i + 8); ++k) {
      vm::testing::FactSpec f = moving_spec(k);
      if (k % 2) f.geohash = "home";
      items.push_back({static_cast<std::uint32_t>(1 + k % 2), 0, vm::testing::fact_record(f).bytes});
    }
    const auto answer = requests::parse_batch_answer(
        requests::call(vm_pipeline_batch_v1, requests::batch_input(handle, ctx, root, items), 1 << 18).bytes);
    for (const std::string& packet : answer.packets) {
      if (packet.empty()) ::_exit(2);
      put(packet);
    }
    i += items.size();
  }
  ::_exit(0);
}

// The text that fact i of the killed sender carries.
std::string killed_sender_text(std::uint64_t i, bool batches, std::uint64_t handle) {
  if (!batches) return i % 2 ? steady_fact(2, i) : moving_fact(1, i, 300);
  vm::testing::FactSpec f = moving_spec(i);
  if (i % 2) f.geohash = "home";
  return std::to_string(1 + i % 2) + ";" + compressed(handle, f);
}

// Kills the sender at random moments, a few hundred times, restarting it from the first
// fact the receiver has not got; a last run, not killed, sends a few hundred more. Its file
// may be ahead of the receiver at each restart.
void kill_and_restart(bool batches) {
  const std::uint64_t s = seed();
  SCOPED_TRACE("seed " + std::to_string(s) + " (set VM_TEST_SEED to replay)");
  std::mt19937_64 rng(s);
  constexpr int kKills = 150;
  constexpr std::uint64_t kLastRun = 500;
  const Root root(batches ? "kill_batch" : "kill_run");
  const std::uint64_t handle = requests::create_compressor(vm::testing::example_config());
  const std::uint64_t receiver = fresh_context();
  Tally tally;
  std::uint64_t received = 0;
  for (int kills = 0; kills <= kKills; ++kills) {
    const bool last = kills == kKills;
    // A killed run could send many facts before its kill; it never reaches its end.
    const std::uint64_t end = received + (last ? kLastRun : 1'000'000);
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    // Each run of the sender is a new process with a new context: it knows only its files.
    const std::uint64_t ctx = fresh_context();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(pipe_fds[0]);
      sender_process(pipe_fds[1], root.str(), ctx, received, end, batches, handle);
    }
    ::close(pipe_fds[1]);
    if (!last) {
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % 6000));
      ::kill(child, SIGKILL);
    }
    // Read to the end first: a sender left running fills the pipe and waits for us.
    std::string bytes;
    char buffer[1 << 16];
    for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) bytes.append(buffer, static_cast<std::size_t>(n));
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (last) {
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the last sender failed";
    }
    // Whole packets only: a packet cut short by the kill was never handed out.
    std::size_t at = 0;
    while (at + 4 <= bytes.size()) {
      std::uint32_t len = 0;
      for (int k = 0; k < 4; ++k) len = len << 8 | static_cast<unsigned char>(bytes[at + k]);
      if (at + 4 + len > bytes.size()) break;
      receive(receiver, {}, bytes.substr(at + 4, len), killed_sender_text(received, batches, handle), tally);
      ++received;
      at += 4 + len;
    }
    if (last) {
      EXPECT_EQ(received, end);
    }
  }
  EXPECT_EQ(tally.wrong, 0u);
  EXPECT_EQ(tally.no_answer, 0u);
  EXPECT_EQ(tally.right, received);
  vm_compressor_free_v1(handle);
}

TEST(KilledSender, RestartsOnItsFilesWithoutAWrongFactThroughRunRequests) { kill_and_restart(false); }
TEST(KilledSender, RestartsOnItsFilesWithoutAWrongFactThroughBatches) { kill_and_restart(true); }

}  // namespace
}  // namespace fleet
