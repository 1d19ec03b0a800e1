#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "wire/base62.h"

namespace vm {
namespace {

std::string encode(std::int64_t v) {
  char buf[kMaxBase62Length];
  return std::string(buf, write_base62(v, buf));
}

// Naive reference: repeated division into a string, then reversed.
std::string reference_encode(std::int64_t v) {
  if (v == 0) return "0";
  std::uint64_t m = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
  std::string s;
  while (m) { s.insert(s.begin(), kBase62Alphabet[m % 62]); m /= 62; }
  return (v < 0 ? "-" : "") + s;
}

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

TEST(Base62, EncodesKnownNumerals) {
  static const struct { std::int64_t value; const char* text; } kCases[] = {
      {0, "0"},       {61, "Z"},      {62, "10"},   {3844, "100"},
      {1000000, "4c92"}, {-1, "-1"},  {kMax, "aZl8N0y58M7"}, {kMin, "-aZl8N0y58M8"},
  };
  for (const auto& c : kCases) EXPECT_EQ(encode(c.value), c.text) << c.value;
}

TEST(Base62, DecodeAcceptsAndWraps) {
  static const struct { const char* text; std::int64_t value; } kCases[] = {
      {"0", 0}, {"-0", 0}, {"Z", 61}, {"10", 62}, {"-1", -1},
      {"aZl8N0y58M7", kMax}, {"aZl8N0y58M8", kMin},  // one past the largest wraps
      {"-aZl8N0y58M8", kMin},
  };
  for (const auto& c : kCases) {
    auto v = parse_base62_wrapping(c.text);
    ASSERT_TRUE(v) << c.text;
    EXPECT_EQ(*v, c.value) << c.text;
  }
}

TEST(Base62, DecodeRejects) {
  for (const char* bad : {"", "-", "+1", "1 ", " 1", "--1", "1-", "a.b", "\xC3\xA9"})
    EXPECT_FALSE(parse_base62_wrapping(bad)) << bad;
}

TEST(Base62, RoundTripsAgainstReference) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int i = 0; i < 5000; ++i) {
    const auto v = static_cast<std::int64_t>(rng() >> (rng() % 64));
    const auto w = (i % 2) ? v : -v;
    const std::string s = encode(w);
    EXPECT_EQ(s, reference_encode(w));
    EXPECT_EQ(parse_base62_wrapping(s), w);
  }
}

}  // namespace
}  // namespace vm
