#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <regex>
#include <string>

#include "compressor/numeric_prefix.h"
#include "compressor/unicode_space.h"

namespace vm {
namespace {

// Longest-prefix cases; the rows with a shorter invalid prefix inside ("1e5x", "1e+x")
// are the ones a greedy scanner gets wrong.
TEST(NumericPrefix, LongestValidPrefix) {
  static const struct { const char* text; const char* prefix; } kCases[] = {
      {"", ""}, {"m", ""}, {".", ""}, {"+", ""}, {"-.", ""}, {"e5", ""}, {".e5", ""},
      {"1000m", "1000"}, {"2.5kW", "2.5"}, {"0.5mA", "0.5"}, {"2.", "2."}, {".5x", ".5"},
      {"1e5x", "1e5"}, {"1e", "1"}, {"1e+", "1"}, {"1e+x", "1"}, {"1E-3s", "1E-3"},
      {"1.2.3", "1.2"}, {"+7", "+7"}, {"-7", "-7"}, {"+-7", ""}, {"--7", ""},
      {"1e5e6", "1e5"}, {"10^3m", "10"}, {"0x10", "0"}, {"1,5", "1"}, {"1 5", "1"},
      {"inf", "inf"}, {"info", "inf"}, {"INFINITY", "INFINITY"}, {"infinit", "inf"},
      {"InFiNiTyM", "InFiNiTy"}, {"-inf", "-inf"}, {"+Inf", "+Inf"}, {"in", ""},
      {"nan", "nan"}, {"nanometer", "nan"}, {"NaN(1)", "NaN"}, {"-nan", "-nan"},
      {"na", ""}, {"°C", ""}, {"1°C", "1"}, {"١٢", ""},  // Arabic-Indic digits are not digits
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(numeric_prefix_length(c.text), std::string_view(c.prefix).size()) << c.text;
  }
}

// The grammar written as a regular expression and tried at every prefix length: the
// slow, obviously faithful reading of "the longest prefix that is a number".
std::size_t reference_prefix_length(const std::string& text) {
  static const std::regex kNumber(
      "[+-]?(([iI][nN][fF]([iI][nN][iI][tT][yY])?)|([nN][aA][nN])|"
      "(([0-9]+\\.?[0-9]*|\\.[0-9]+)([eE][+-]?[0-9]+)?))");
  for (std::size_t n = text.size(); n > 0; --n)
    if (std::regex_match(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n), kNumber))
      return n;
  return 0;
}

TEST(NumericPrefix, MatchesEveryLengthReference) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  static const std::string kAlphabet = "0123456789..eE+-+-infINFtyYnaNxm ";
  std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1), length(0, 10);
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    for (std::size_t n = length(rng); n > 0; --n) text += kAlphabet[pick(rng)];
    ASSERT_EQ(numeric_prefix_length(text), reference_prefix_length(text)) << '"' << text << '"';
  }
}

TEST(NumericPrefix, ValuesAreCorrectlyRounded) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  static const struct { const char* number; double value; } kCases[] = {
      {"+7", 7}, {"-7", -7}, {"2.", 2}, {".5", 0.5}, {"1e5", 1e5}, {"+1E-3", 1e-3},
      {"0.1", 0.1}, {"21.505", 21.505},
      {"9007199254740993", 9007199254740992.0},      // ties to even at 2^53 + 1
      {"1e400", kInf}, {"-1e400", -kInf}, {"0.000001e309", 1e303},
      {"1e-400", 0.0}, {"-1e-400", -0.0}, {"5e-324", 5e-324},
      {"123456789012345678901234567890e-400", 0.0},   // many digits, still underflow
      {"0.0000000000000000000001e330", 1e308},
      {"inf", kInf}, {"-INFINITY", -kInf}, {"+inf", kInf},
  };
  for (const auto& c : kCases) {
    const double v = decimal_value(c.number);
    EXPECT_EQ(v, c.value) << c.number;
    EXPECT_EQ(std::signbit(v), std::signbit(c.value)) << c.number;
  }
  EXPECT_TRUE(std::isnan(decimal_value("nan")));
  EXPECT_TRUE(std::isnan(decimal_value("-NaN")));
  const auto p = find_numeric_prefix("+2.5e1kW");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->length, 6u);
  EXPECT_EQ(p->value, 25.0);
  EXPECT_FALSE(find_numeric_prefix("kW"));
}

TEST(UnicodeSpace, TrimsExactlyTheWhiteSpaceProperty) {
  static const struct { const char* text; const char* trimmed; } kCases[] = {
      {"", ""}, {" ", ""}, {" m ", "m"}, {"\t\n\v\f\rm\r", "m"}, {"m s", "m s"},
      {"\u00A0m\u3000", "m"}, {"\u0085\u1680\u2000\u200Am\u2028\u2029\u202F\u205F", "m"},
      {"\u200Bm", "\u200Bm"},   // zero width space is not white space
      {"\u180Em", "\u180Em"},   // nor is the Mongolian vowel separator
      {"\u00A1m\u00A1", "\u00A1m\u00A1"},  // shares the lead byte of U+00A0
      {"\u2030", "\u2030"},     // shares two bytes with U+2028 and U+202F
      {"°C ", "°C"}, {"\x1Fm", "\x1Fm"},
  };
  for (const auto& c : kCases) EXPECT_EQ(trim_unicode_space(c.text), c.trimmed) << c.text;
}

}  // namespace
}  // namespace vm
