#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "json/json_writer.h"

namespace vm::json {
namespace {

std::string str(std::string_view s) {
  std::string out = "junk";  // appends must keep what was there
  append_string(out, s);
  return out.substr(4);
}

std::string dbl(double v) {
  std::string out = "junk";
  append_double(out, v);
  return out.substr(4);
}

// Escaping rules of the answer format: only '"', '\\' and bytes below 0x20 are escaped;
// short forms for \b \t \n \f \r, lower-case \u00xx for the rest; '/', 0x7F and UTF-8 as is.
TEST(JsonWriter, EscapesStrings) {
  static const struct { std::string_view in, out; } kCases[] = {
      {"", R"("")"},
      {"plain", R"("plain")"},
      {"a\"b", R"("a\"b")"},
      {"a\\b", R"("a\\b")"},
      {"/", R"("/")"},
      {"\x7F", "\"\x7F\""},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string_view("\x00", 1), R"("\u0000")"},
      {"\x01\x0B\x1A\x1F", R"("\u0001\u000b\u001a\u001f")"},
      {"\x20", R"(" ")"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\""},
      {"m/s2|x>y\x01:\"q\"", R"("m/s2|x>y\u0001:\"q\"")"},
  };
  for (const auto& c : kCases) EXPECT_EQ(str(c.in), c.out) << c.in;
  EXPECT_EQ(str(std::string_view()), R"("")");  // a default view has no data pointer
}

TEST(JsonWriter, WritesIntegers) {
  std::string out;
  append_int(out, std::numeric_limits<std::int64_t>::min());
  out += ' ';
  append_int(out, -1);
  out += ' ';
  append_int(out, 0);
  out += ' ';
  append_uint(out, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(out, "-9223372036854775808 -1 0 18446744073709551615");
}

// Layout rules for doubles: positional for decimal exponents -5..15, exponent form beyond;
// the examples are those the answer format names, plus the edges of both ranges.
TEST(JsonWriter, WritesDoublesInShortestForm) {
  static const struct { double in; std::string_view out; } kCases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {10.0, "10.0"},
      {-1.0, "-1.0"},
      {123.25, "123.25"},
      {0.215, "0.215"},
      {-0.0012, "-0.0012"},
      {0.1, "0.1"},
      {1.0 / 3, "0.3333333333333333"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1e15, "1000000000000000.0"},
      {1e15 + 0.5, "1000000000000000.5"},
      {9.999999999999998e15, "9999999999999998.0"},
      {1e16, "1e+16"},
      {1.5e16, "1.5e+16"},
      {1e-5, "0.00001"},
      {1.25e-5, "0.0000125"},
      {1e-6, "1e-6"},
      {1.5e-7, "1.5e-7"},
      {2.5e300, "2.5e+300"},
      {1e100, "1e+100"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {-std::numeric_limits<double>::min(), "-2.2250738585072014e-308"},
      {std::numeric_limits<double>::quiet_NaN(), "null"},
      {std::numeric_limits<double>::infinity(), "null"},
      {-std::numeric_limits<double>::infinity(), "null"},
  };
  for (const auto& c : kCases) EXPECT_EQ(dbl(c.in), c.out) << c.out;
}

// Reference: the fewest digits p for which printf's correctly rounded %.{p-1}e reads back.
int reference_digit_count(double v) {
  char buf[64];
  for (int p = 1; p <= 17; ++p) {
    std::snprintf(buf, sizeof buf, "%.*e", p - 1, v);
    if (std::strtod(buf, nullptr) == v) return p;
  }
  return 17;
}

int significant_digits(std::string_view text) {
  const std::size_t e = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e))
    if (c >= '0' && c <= '9') digits += c;
  digits.erase(0, digits.find_first_not_of('0'));
  if (e == std::string_view::npos) digits.erase(digits.find_last_not_of('0') + 1);
  return static_cast<int>(digits.size());
}

TEST(JsonWriter, RandomDoublesReadBackWithFewestDigits) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> exponent(-30, 30);
  for (int i = 0; i < 20000; ++i) {
    // Half raw bit patterns (every magnitude), half values near the positional edges.
    const double v = i % 2 ? std::bit_cast<double>(rng()) : std::pow(10.0, exponent(rng)) * (rng() % 2 ? 1 : -1);
    if (!std::isfinite(v) || v == 0) continue;
    const std::string text = dbl(v);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)), std::bit_cast<std::uint64_t>(v))
        << text;
    EXPECT_EQ(significant_digits(text), reference_digit_count(v)) << text;
    const int e = static_cast<int>(std::floor(std::log10(std::fabs(v))));
    const bool exponent_form = text.find('e') != std::string::npos;
    if (e >= -4 && e <= 14) {
      EXPECT_FALSE(exponent_form) << text;
    }
    if (e >= 17 || e <= -7) {
      EXPECT_TRUE(exponent_form) << text;
    }
    if (!exponent_form) {
      EXPECT_NE(text.find('.'), std::string::npos) << text;
    }
  }
}

// Readings of a compact fact are whole numbers of ten-thousandths (a Base62 integer divided
// by 10000), which the writer formats without a general shortest-digits search. Checked
// against the same reference as above, over every magnitude up to 15 digits.
TEST(JsonWriter, TenThousandthsReadBackWithFewestDigits) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  std::vector<std::int64_t> ns = {1, 9, 10, 12, 2150, 9999, 10000, 10001, 100000, 123456789,
                                  99999999999999, 999999999999999, 1000000000000000, 9007199254740993};
  for (int i = 0; i < 20000; ++i) {
    const std::int64_t digits = 1 + static_cast<std::int64_t>(rng() % 16);
    std::int64_t n = static_cast<std::int64_t>(rng() % 10000000000000000ull);
    for (std::int64_t d = 16; d > digits; --d) n /= 10;
    ns.push_back(i % 2 ? n : -n);
  }
  for (const std::int64_t n : ns) {
    const double v = static_cast<double>(n) / 10000.0;
    if (v == 0) continue;
    const std::string text = dbl(v);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)), std::bit_cast<std::uint64_t>(v))
        << text;
    EXPECT_EQ(significant_digits(text), reference_digit_count(v)) << text;
    EXPECT_EQ(text.find('e'), std::string::npos) << text;
    EXPECT_NE(text.find('.'), std::string::npos) << text;
    EXPECT_NE(text.back(), '.') << text;
  }
}

TEST(JsonWriter, PrettyLayoutOfEmptyAndNestedContainers) {
  std::string out = "junk";
  PrettyWriter w(out);
  w.begin_object();
  w.key("a");
  w.begin_object();
  w.end_object();
  w.key("b");
  w.begin_array();
  w.end_array();
  w.key("c");
  w.begin_array();
  w.uint(1);
  w.begin_object();
  w.key("d\n");
  w.string("e");
  w.end_object();
  w.end_array();
  w.end_object();
  EXPECT_EQ(out,
            "junk{\n"
            "  \"a\": {},\n"
            "  \"b\": [],\n"
            "  \"c\": [\n"
            "    1,\n"
            "    {\n"
            "      \"d\\n\": \"e\"\n"
            "    }\n"
            "  ]\n"
            "}");

  std::string empty;
  PrettyWriter e(empty);
  e.begin_object();
  e.end_object();
  EXPECT_EQ(empty, "{}");
}

}  // namespace
}  // namespace vm::json
