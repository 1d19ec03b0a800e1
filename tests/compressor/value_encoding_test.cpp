#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "compressor/timestamp_code.h"
#include "compressor/value_encoding.h"
#include "wire/base62.h"

namespace vm {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string value_code(double x, std::uint64_t scale, Scaling scaling) {
  std::string out = "prefix;";
  append_value_code(out, x, scale, scaling);
  EXPECT_EQ(out.substr(0, 7), "prefix;");
  return out.substr(7);
}

// The value encoding's reference examples, plus saturation and non-finite rows.
TEST(ValueCode, Examples) {
  static const struct { double x; std::uint64_t scale; Scaling scaling; const char* code; } kCases[] = {
      {0.5, 100, Scaling::scaled, "O"},       // 50
      {1.5, 100, Scaling::scaled, "2q"},      // 150
      {2.5, 100, Scaling::scaled, "42"},      // 250
      {-2.5, 100, Scaling::scaled, "-42"},
      {0.125, 100, Scaling::scaled, "c"},     // 12.5 -> 12 (half to even)
      {-0.125, 100, Scaling::scaled, "-c"},   // -12.5 -> -12
      {21.505, 100, Scaling::scaled, "yG"},   // 2150.4999999999995 lies in the band -> 2150
      {1e-9, 100, Scaling::scaled, "0"},
      {0.5, 1, Scaling::scaled, "0"},         // half to even
      {1.5, 1, Scaling::scaled, "2"},
      {2.5, 1, Scaling::scaled, "2"},
      {-2.5, 1, Scaling::scaled, "-2"},
      {-1.5, 1, Scaling::scaled, "-2"},
      {21.505, 1, Scaling::scaled, "m"},      // 22
      {21.5, 100, Scaling::scaled, "yG"},
      {1000.0, 100, Scaling::scaled, "q0U"},
      {-0.0, 100, Scaling::scaled, "0"},
      {9223372036854775807.0, 1, Scaling::scaled, "aZl8N0y58M7"},
      {-9223372036854775808.0, 1, Scaling::scaled, "-aZl8N0y58M8"},
      {1e300, 100, Scaling::scaled, "aZl8N0y58M7"},   // finite product saturates
      {-1e300, 100, Scaling::scaled, "-aZl8N0y58M8"},
      {1e300, 1000000000000000000ull, Scaling::scaled, "0"},  // product overflows to inf
      {kInf, 100, Scaling::scaled, "0"},
      {-kInf, 100, Scaling::scaled, "0"},
      {kNaN, 100, Scaling::scaled, "0"},
      {-2000.0, 100, Scaling::unscaled, "-wg"},
      {150.0, 100, Scaling::unscaled, "2q"},
      {2.9, 100, Scaling::unscaled, "2"},        // truncation, not rounding
      {-2.9, 100, Scaling::unscaled, "-2"},
      {kNaN, 100, Scaling::unscaled, "0"},
      {kInf, 100, Scaling::unscaled, "aZl8N0y58M7"},
      {-kInf, 100, Scaling::unscaled, "-aZl8N0y58M8"},
      {1e19, 1, Scaling::unscaled, "aZl8N0y58M7"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(value_code(c.x, c.scale, c.scaling), c.code)
        << c.x << " scale " << c.scale << (c.scaling == Scaling::scaled ? " scaled" : " unscaled");
  }
}

// Both sides of the band around one half: 1e-12 wide on each side of .5.
TEST(ValueCode, HalfBandEdges) {
  EXPECT_EQ(scaled_integer(2.5 + 2e-12, 1), 3);
  EXPECT_EQ(scaled_integer(2.5 - 2e-12, 1), 2);
  EXPECT_EQ(scaled_integer(3.5 - 5e-13, 1), 4);  // inside the band, 3 is odd
  EXPECT_EQ(scaled_integer(2.5 + 5e-13, 1), 2);  // inside the band, 2 is even
  EXPECT_EQ(scaled_integer(-3.5, 1), -4);        // floor -4 is even
  EXPECT_EQ(scaled_integer(-4.5, 1), -4);
}

// Away from one half the rule is plain round-to-nearest, which the FPU computes
// independently. Products of magnitude up to 2^53 keep a meaningful fraction.
TEST(ValueCode, MatchesHardwareRoundingAwayFromHalf) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> magnitude(-15.0, 15.0);
  std::uniform_int_distribution<int> precision(0, 18);
  ASSERT_EQ(std::fegetround(), FE_TONEAREST);
  for (int i = 0; i < 200000; ++i) {
    const double x = (rng() & 1 ? -1 : 1) * std::pow(10.0, magnitude(rng));
    std::uint64_t scale = 1;
    for (int p = precision(rng); p > 0; --p) scale *= 10;
    const double y = x * static_cast<double>(scale);
    if (std::fabs(y) > 9.0e15) continue;
    const double frac = y - std::floor(y);
    if (std::fabs(frac - 0.5) < 1e-9) continue;
    const std::int64_t expected = static_cast<std::int64_t>(std::nearbyint(y));
    ASSERT_EQ(scaled_integer(x, scale), expected) << x << " x " << scale;
    std::string code;
    append_value_code(code, x, scale, Scaling::scaled);
    ASSERT_EQ(parse_base62_wrapping(code), expected) << code;
  }
}

TEST(Base64Url, Examples) {
  static const struct { std::string bytes; const char* text; } kCases[] = {
      {"", ""}, {"xyz", "eHl6"}, {"s1", "czE"}, {"s", "cw"},
      {std::string(6, '\0'), "AAAAAAAA"}, {std::string(6, '\xFF'), "________"},
      {"\xFB\xEF\xBE", "----"},
  };
  for (const auto& c : kCases) {
    std::string out = "#";
    append_base64url(out, c.bytes);
    EXPECT_EQ(out, std::string("#") + c.text);
  }
}

TEST(TimestampCode, CutsSaturatesAndSwitchesToMilliseconds) {
  constexpr double kTwoTo48 = 281474976710656.0;
  static const struct { double t; bool ms; std::uint64_t expected; } kCases[] = {
      {1700000000.0, true, 1700000000000},
      {1700000000000.0, true, 1700000000000},   // already milliseconds
      {99999999999.0, true, 99999999999000},    // below 1e11: seconds
      {100000000000.0, true, 100000000000},     // 1e11: already milliseconds
      {99999999999.0, false, 99999999999},
      {1.9999, true, 1999},
      {1.9999, false, 1},                       // truncation toward zero
      {-5.0, true, 0},
      {-0.5, false, 0},
      {kNaN, true, 0},
      {-kInf, false, 0},
      {kInf, false, 0xFFFFFFFFFFFF},
      {18446744073709551616.0, false, 0xFFFFFFFFFFFF},  // 2^64 saturates to 2^64 - 1
      {1e30, true, 0xFFFFFFFFFFFF},
      {kTwoTo48 + 5, false, 5},                 // only the low 48 bits stay
      {kTwoTo48 - 1, false, 0xFFFFFFFFFFFF},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(raw(timestamp_48(c.t, c.ms)), c.expected) << c.t << " ms " << c.ms;
  }
}

TEST(TimestampCode, TextIsEightCharacters) {
  static const struct { std::uint64_t t; const char* code; } kCases[] = {
      {0, "AAAAAAAA"}, {0xFFFFFFFFFFFF, "________"}, {1700000000000, "AYvP5WgA"},
      {5, "AAAAAAAF"},
  };
  for (const auto& c : kCases) {
    std::string out;
    append_timestamp_code(out, Timestamp48{c.t});
    EXPECT_EQ(out, c.code) << c.t;
  }
}

}  // namespace
}  // namespace vm
