// VM_PACKET_BOUND holds every answer of the run request: full packets, differences in
// which every value changed (the largest bodies per byte of text), and error texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "request_support.h"

namespace {

using namespace requests;

struct Reading {
  std::string id, state, unit, value;
};

// Ids of zero to two characters and values of zero to three, so that the text has as few
// bytes as it can beside the values that a difference carries.
std::vector<Reading> random_readings(std::mt19937& rng) {
  auto word = [&](int max_len) {
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string w;
    for (int n = std::uniform_int_distribution<int>(0, max_len)(rng); n > 0; --n) {
      w.push_back(kAlphabet[std::uniform_int_distribution<int>(0, 35)(rng)]);
    }
    return w;
  };
  std::vector<Reading> readings(std::uniform_int_distribution<std::size_t>(1, 64)(rng));
  for (Reading& r : readings) r = {word(2), word(1), word(1), word(3)};
  return readings;
}

std::string fact_text(const std::string& prefix, const std::vector<Reading>& readings) {
  std::string text = prefix + "n.s.AYvP5WgA|";
  for (const Reading& r : readings) text += r.id + ">" + r.state + "." + r.unit + ":" + r.value + "|";
  return text;
}

Answer send(std::uint64_t ctx, const std::string& text) {
  return call(vm_fusion_run_json_v1, RunRequest(ctx, text, {}, 7).json(), 1 << 20);
}

TEST(PacketBound, HoldsFullAndDifferencePacketsOfRandomFacts) {
  const unsigned seed = std::random_device{}();
  std::printf("seed %u\n", seed);
  std::mt19937 rng(seed);
  for (int round = 0; round < 300; ++round) {
    const std::string prefix = round % 3 == 0 ? "7;" : "";
    std::vector<Reading> readings = random_readings(rng);
    const std::uint64_t ctx = fresh_ctx();
    const std::string first = fact_text(prefix, readings);
    const Answer full = send(ctx, first);
    ASSERT_EQ(full.result, static_cast<int32_t>(first.size() + 16)) << "seed " << seed << ": " << first;
    EXPECT_LE(first.size() + 16, VM_PACKET_BOUND(first.size()));

    // Every value changes and the signature stays: a difference with a full mask.
    for (Reading& r : readings) {
      r.state += "x";
      r.value += "y";
    }
    const std::string second = fact_text(prefix, readings);
    const Answer diff = send(ctx, second);
    ASSERT_GT(diff.result, 0) << "seed " << seed << ": " << second;
    EXPECT_EQ(static_cast<std::uint8_t>(diff.bytes[0]), 170) << "seed " << seed << ": " << second;
    EXPECT_LE(static_cast<std::size_t>(diff.result), VM_PACKET_BOUND(second.size()))
        << "seed " << seed << ": " << second;
  }
}

TEST(PacketBound, HoldsErrorTextsOfShortFacts) {
  for (const std::string text : {"", "x", "no-bar.", "|", "a|"}) {
    const Answer a = send(fresh_ctx(), text);
    EXPECT_GT(a.result, 0) << text;
    EXPECT_LE(static_cast<std::size_t>(a.result), VM_PACKET_BOUND(text.size())) << text;
  }
}

}  // namespace
