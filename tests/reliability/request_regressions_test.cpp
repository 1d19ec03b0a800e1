// Regressions of faults found by fuzzing and review of the request paths, through the C
// exports: facts whose texts hold the signature's placeholders, and registry roots with a
// NUL byte.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <vector>

#include "request_support.h"

namespace {

using namespace reliability;
namespace fs = std::filesystem;

std::uint64_t fresh_context() {
  static std::uint64_t next = 7'000'000'000;
  return next++;
}

// Sends each text in turn from one context to another and returns the command of each
// packet; every answer must be the JSON view of the text that was sent.
std::vector<int> send_and_receive(const std::vector<std::string>& texts) {
  const std::uint64_t sender = fresh_context();
  const std::uint64_t receiver = fresh_context();
  std::vector<int> commands;
  for (const std::string& text : texts) {
    const std::string packet = call(vm_fusion_run_json_v1, run_request(sender, text));
    EXPECT_GE(packet.size(), 16u) << text;
    if (packet.size() < 16) return commands;
    commands.push_back(static_cast<unsigned char>(packet[0]));
    const std::string answer = call(vm_fusion_decompress_json_v1, decompress_request(receiver, packet));
    EXPECT_EQ(without_meta(answer), json_view(text)) << "sent " << text;
  }
  return commands;
}

// A receiver rebuilds a heartbeat or difference by putting the timestamp at the first
// "{TS}" of the signature and the values into its 0x01 bytes. Found by the round-trip
// fuzzer: a reading id holding 0x01 took a value, and the fact came back garbled. Facts
// whose own texts hold either placeholder now travel whole every time.
TEST(PlaceholderBytesInFacts, TravelWholeAndComeBackExactly) {
  static const struct {
    const char* what;
    std::string head;     // identity part and timestamp, up to the first "|"
    std::string reading;  // one reading segment before its value code
  } kCases[] = {
      {"node id holds {TS}", "a{TS}b.s.AYvP5WgA|", "t>0.c:"},
      {"node id holds 0x01", std::string("x\x01y.s.AYvP5WgA|"), "t>0.c:"},
      {"state holds {TS}", "n.{TS}.AYvP5WgA|", "t>0.c:"},
      {"reading id holds 0x01", "n.s.AYvP5WgA|", std::string("\x01>0.c:")},
      {"reading state holds 0x01", "n.s.AYvP5WgA|", std::string("t>\x01.c:")},
      {"unit holds 0x01", "n.s.AYvP5WgA|", std::string("t>0.\x01:")},
      {"geohash holds 0x01", "n.s.AYvP5WgA|", std::string("t>0.c:")},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    const std::string geohash = c.what == std::string_view("geohash holds 0x01") ? "&g\x01h|" : "";
    const std::vector<std::string> texts = {c.head + c.reading + "1|" + geohash, c.head + c.reading + "2|" + geohash,
                                            c.head + c.reading + "2|" + geohash};
    EXPECT_EQ(send_and_receive(texts), (std::vector<int>{63, 63, 63}));
  }
}

TEST(PlaceholderBytesInFacts, OrdinaryFactsStillTravelAsDifferencesAndHeartbeats) {
  const std::vector<std::string> texts = {"n.s.AYvP5WgA|t>0.c:1|&{TS}|", "n.s.AYvP5WgB|t>0.c:2|&{TS}|",
                                          "n.s.AYvP5WgC|t>0.c:2|&{TS}|"};
  EXPECT_EQ(send_and_receive(texts), (std::vector<int>{63, 170, 127}));
}

// The system reads a path only up to a NUL byte, so a root "dir/victim\0..." used to make
// the registry file land at "dir/victim", a file the request never named. Such a root now
// switches file access off, for the JSON requests and the batch alike.
TEST(RegistryRootWithNulByte, WritesNoFileAnywhere) {
  const fs::path dir = fs::temp_directory_path() / ("vm_nul_root_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string root = (dir / "victim").string() + std::string("\0/registry", 10);
  const std::string text = "305419896;node7.1.AYvP5WgA|t1>0.c1:yG|";

  const std::string with_root = call(vm_fusion_run_json_v1, run_request(fresh_context(), text, root));
  const std::string without_root = call(vm_fusion_run_json_v1, run_request(fresh_context(), text));
  EXPECT_EQ(with_root, without_root);
  const std::string answer = call(vm_fusion_decompress_json_v1, decompress_request(fresh_context(), with_root, root));
  EXPECT_EQ(without_meta(answer), json_view(text));

  std::string batch(16, '\0');  // compressor handle and ctx_id
  const std::uint64_t handle = [] {
    const std::uint8_t config[13] = {0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    return vm_compressor_create_v1(config, sizeof config);
  }();
  for (int i = 0; i < 8; ++i) batch[i] = static_cast<char>(handle >> (56 - 8 * i));
  batch += std::string("\0\0\0\1", 4);  // one item
  batch += std::string("\0\0\0", 3) + static_cast<char>(root.size()) + root;
  // Item: aid 7, no force, then the fact record: "n", "s", timestamp 0, one reading
  // ("t", "ok", 0.0, "m"), no geohash, url or msg.
  const std::string fact = std::string("\0\0\0\1n\0\0\0\1s", 10) + std::string(8, '\0') +
                           std::string("\0\0\0\1\0\0\0\1t\0\0\0\2ok", 15) + std::string(8, '\0') +
                           std::string("\0\0\0\1m", 5) + std::string(12, '\xFF');
  batch += std::string("\0\0\0\7\0\0\0\0", 8) + static_cast<char>(fact.size()) + fact;
  const std::string answer_of_batch = call(vm_pipeline_batch_v1, batch);
  ASSERT_GT(answer_of_batch.size(), 8u + 16u);
  EXPECT_EQ(answer_of_batch.substr(0, 4), std::string("\0\0\0\1", 4));
  EXPECT_EQ(vm_compressor_free_v1(handle), 1);

  EXPECT_TRUE(fs::is_empty(dir)) << "a file appeared under " << dir;
  fs::remove_all(dir);
}

}  // namespace
