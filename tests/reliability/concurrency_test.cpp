// Threads against the process-wide tables, meant to run clean under ThreadSanitizer
// (make test-tsan) and to finish within seconds:
//  - run and decompress requests over more contexts than the cache holds, so that
//    contexts are evicted while requests run, with devices reloaded from registry files;
//  - requests of several threads on one shared context;
//  - compressor and fusion-state handles created, used and freed on several threads,
//    freed also while another thread is using them.
// Every answer must equal the answer of a serialized replay of the same requests, except
// that a context evicted in one run and not in the other sends a restart frame (the full
// packet of the fact) after it reloads its device.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "request_support.h"

namespace {

using namespace reliability;
namespace fs = std::filesystem;

// Three facts per device: a full packet, a difference, a heartbeat.
constexpr const char* kTimestamps[] = {"AYvP5WgA", "AYvP5WgB", "AYvP5WgC"};
std::string fact(std::uint32_t aid, int round) {
  const std::string load = round == 0 ? "a" : "b";
  return std::to_string(aid) + ";n" + std::to_string(aid) + ".1." + kTimestamps[round] + "|t>0.c1:" +
         std::to_string(aid % 97) + "|h>0.m:" + load + "|";
}

// The requests of one worker: for each round, every device of the worker is sent from its
// own sender context (or from one shared context) and every `receive_every`-th device is
// received in the worker's receiver context. Answers are kept in order.
struct Worker {
  std::vector<std::uint32_t> aids;
  std::uint64_t sender_base;  // sender context of device i: sender_base + i, or shared
  bool shared_sender;
  std::uint64_t receiver;
  std::size_t receive_every;
  std::vector<std::string> answers;

  void run(std::uint64_t ctx_offset, const std::string& root) {
    answers.clear();
    for (int round = 0; round < 3; ++round) {
      for (std::size_t i = 0; i < aids.size(); ++i) {
        const std::uint64_t sender = ctx_offset + sender_base + (shared_sender ? 0 : i);
        const std::string packet = call(vm_fusion_run_json_v1, run_request(sender, fact(aids[i], round), root));
        answers.push_back(packet);
        if (i % receive_every == 0) {
          answers.push_back(call(vm_fusion_decompress_json_v1, decompress_request(ctx_offset + receiver, packet)));
        }
      }
    }
  }
};

std::vector<Worker> make_workers() {
  // Two workers with 1040 sender contexts each: 2080 contexts > 2048, so each context is
  // evicted between two of its requests and its device is loaded again from its file.
  std::vector<Worker> workers;
  for (std::uint32_t w = 0; w < 2; ++w) {
    Worker worker{{}, 100'000 + 10'000 * w, false, 900 + w, 8, {}};
    for (std::uint32_t i = 0; i < 1040; ++i) worker.aids.push_back(10'000 * (w + 1) + i);
    workers.push_back(worker);
  }
  // Two workers sharing one sender context, each with devices of its own.
  for (std::uint32_t w = 0; w < 2; ++w) {
    Worker worker{{}, 50'000, true, 950 + w, 1, {}};
    for (std::uint32_t i = 0; i < 80; ++i) worker.aids.push_back(500'000 + 1000 * w + i);
    workers.push_back(worker);
  }
  return workers;
}

// Registry files go to memory-backed storage when there is some: the test is about
// threads, and thousands of small file writes on a slow disk would dominate it.
fs::path scratch_base() {
  std::error_code ec;
  return fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
}

class TempDir {
 public:
  explicit TempDir(const std::string& name) : path_(scratch_base() / (name + "_" + std::to_string(::getpid()))) {
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string str() const { return path_.string(); }

 private:
  fs::path path_;
};

// `got` equals `want`, or is the full packet of `text` with the same route, template and
// timestamp: the restart frame of a context that was reloaded in one run only.
::testing::AssertionResult same_or_restart_frame(const std::string& got, const std::string& want,
                                                 const std::string& text) {
  if (got == want) return ::testing::AssertionSuccess();
  const bool restart_frame = got.size() == text.size() + 16 && want.size() >= 16 &&
                             static_cast<unsigned char>(got[0]) == 63 && got.compare(1, 12, want, 1, 12) == 0 &&
                             got.compare(13, text.size(), text) == 0;
  if (restart_frame) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "neither the replay's packet nor a restart frame";
}

TEST(Concurrency, RequestsWithEvictionAndASharedContextMatchASerializedReplay) {
  TempDir concurrent_root("vm_concurrent_registry");
  TempDir serial_root("vm_serial_registry");
  std::vector<Worker> concurrent = make_workers();
  std::vector<Worker> serial = make_workers();

  std::vector<std::thread> threads;
  for (Worker& w : concurrent) threads.emplace_back([&w, &concurrent_root] { w.run(0, concurrent_root.str()); });
  for (auto& t : threads) t.join();
  for (Worker& w : serial) w.run(1'000'000'000, serial_root.str());

  for (std::size_t k = 0; k < concurrent.size(); ++k) {
    const Worker& w = serial[k];
    ASSERT_EQ(concurrent[k].answers.size(), w.answers.size());
    // And each run is right on its own: full, difference, heartbeat for every device (or
    // a restart frame after a reload), each received as the fact that was sent, even
    // though its context was evicted in between.
    std::size_t at = 0;
    for (int round = 0; round < 3; ++round) {
      for (std::size_t i = 0; i < w.aids.size(); ++i) {
        const std::string text = fact(w.aids[i], round);
        const std::string& packet = w.answers[at];
        ASSERT_TRUE(same_or_restart_frame(concurrent[k].answers[at], packet, text)) << "worker " << k << ", answer " << at;
        ++at;
        ASSERT_GE(packet.size(), 16u);
        constexpr int kCommands[] = {63, 170, 127};
        const int command = static_cast<unsigned char>(packet[0]);
        EXPECT_TRUE(command == kCommands[round] || command == 63) << "device " << w.aids[i];
        if (i % w.receive_every == 0) {
          EXPECT_EQ(without_meta(w.answers[at]), json_view(text)) << "device " << w.aids[i];
          EXPECT_EQ(without_meta(concurrent[k].answers[at]), json_view(text)) << "device " << w.aids[i];
          ++at;
        }
      }
    }
  }
}

// A compressor's answer never depends on other threads; a handle freed meanwhile answers 0.
TEST(Concurrency, HandlesCreatedUsedAndFreedOnManyThreads) {
  const std::string config = std::string("\0\0\0\2\1\0\0\0\1", 9) + std::string("\0\0\0\7celsius\0\0\0\2c1", 17) +
                             std::string("\0\0\0\0", 4);
  // Fact "n", state "s", 1700000000 s, one reading ("t", "ok", 21.5, "Celsius"), no trailers.
  const std::string record = std::string("\0\0\0\1n\0\0\0\1s", 10) + std::string("\x41\xD9\x54\xFC\x40\x00\x00\x00", 8) +
                             std::string("\0\0\0\1\0\0\0\1t\0\0\0\2ok", 15) +
                             std::string("\x40\x35\x80\x00\x00\x00\x00\x00", 8) + std::string("\0\0\0\7Celsius", 11) +
                             std::string(12, '\xFF');
  const std::string expected = "n.s.AYvP5WgA|t>ok.c1:yG|";  // ms timestamps, precision 2
  const auto compress = [&](std::uint64_t handle) {
    std::string out(64, '\0');
    const int32_t n = vm_compress_fact_v1(handle, reinterpret_cast<const uint8_t*>(record.data()), record.size(),
                                          reinterpret_cast<uint8_t*>(out.data()), out.size());
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
  };
  const auto create = [&] {
    return vm_compressor_create_v1(reinterpret_cast<const uint8_t*>(config.data()), config.size());
  };

  constexpr int kRounds = 2000;
  std::atomic<std::uint64_t> published{0};  // a handle one thread creates and another frees
  std::atomic<int> wrong{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        const std::uint64_t mine = create();
        if (compress(mine) != expected) ++wrong;
        published.store(mine);
        const std::uint64_t state = vm_fusion_state_create_v1();
        // Device 7, no force, signature "x.{TS}|" 0x01 "|", one value of one digit.
        const std::string apply = std::string("\0\0\0\7\0\0\0\0\x09x.{TS}|\x01|\0\0\0\1\0\0\0\1", 26) +
                                  std::to_string(i % 10);
        uint8_t decision[16];
        if (vm_fusion_state_apply_v1(state, reinterpret_cast<const uint8_t*>(apply.data()), apply.size(), decision,
                                     sizeof decision) != 10)
          ++wrong;
        if (vm_fusion_state_free_v1(state) != 1 || vm_fusion_state_free_v1(state) != 0) ++wrong;
      }
    });
  }
  // Uses whatever handle was published last, while its creator or the freer may free it.
  threads.emplace_back([&] {
    while (!stop) {
      const std::string text = compress(published.load());
      if (!text.empty() && text != expected) ++wrong;
    }
  });
  threads.emplace_back([&] {
    while (!stop) (void)vm_compressor_free_v1(published.load());
  });
  for (int t = 0; t < 2; ++t) threads[t].join();
  stop = true;
  for (std::size_t t = 2; t < threads.size(); ++t) threads[t].join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
