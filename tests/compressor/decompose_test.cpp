#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "compressor/decompose.h"
#include "record_builder.h"

namespace vm {
namespace {

using namespace std::string_literals;

const std::string kMark = "\x3E\x01\x3A\x01"s;

// The format's reference decompositions, then edge rows.
TEST(Decompose, Examples) {
  static const struct {
    std::string text;
    std::string ts;
    std::string sig;
    std::vector<std::string> vals;
  } kCases[] = {
      {testing::kExampleCompact, "AYvP5WgA",
       "node7.1.{TS}|t1" + kMark + "|h" + kMark + "|d" + kMark + "|&hi|#czE|@eHl6|",
       {"0.c1", "yG", "0.m/s2", "q0U", "0.1,km", "-c"}},
      {"a.b.T|", "T", "a.b.{TS}||", {}},
      {"x;a.b.T|s>u:v|", "T", "a.b.{TS}|s" + kMark + "|", {"u", "v"}},
      {"a.b.T|s>u:v|", "T", "a.b.{TS}|s" + kMark + "|", {"u", "v"}},
      {"a.b.|", "", "a.b.{TS}||", {}},
      {"a.b.T||s>a:b:c||", "T", "a.b.{TS}|s" + kMark + "|", {"a:b", "c"}},
      {"a.b.T|s>nocolon|plain|", "T", "a.b.{TS}|s>nocolon|plain|", {}},
      // Further rows.
      {"a.T|", "T", "a.{TS}||", {}},                      // one dot: identity "a"
      {".|", "", ".{TS}||", {}},
      {"a.b.T|>:|", "T", "a.b.{TS}|" + kMark + "|", {"", ""}},
      {"a.b.T|s:x>y|", "T", "a.b.{TS}|s:x>y|", {}},        // the ":" must follow the ">"
      {"a.b.T|s>x>y:1|", "T", "a.b.{TS}|s" + kMark + "|", {"x>y", "1"}},
      {"a.b.T|@msg", "T", "a.b.{TS}|@msg|", {}},          // the msg gets its closing bar
      {"a.b.T|&g;x.y.T|", "T", "x.y.{TS}||", {}},           // a ";" anywhere cuts there
      {"1;2;a.b.T|", "T", "2;a.b.{TS}||", {}},             // only the first ";" cuts
      {"a.b.T|s>u:v|@x>y:z", "T", "a.b.{TS}|s" + kMark + "|@x" + kMark + "|", {"u", "v", "y", "z"}},
      {"a.b.c.d|", "d", "a.b.c.{TS}||", {}},
      {"é.ü.T|ß>°:Ω|", "T", "é.ü.{TS}|ß" + kMark + "|", {"°", "Ω"}},
  };
  DecomposedFact d;
  for (const auto& c : kCases) {
    ASSERT_TRUE(decompose(c.text, d)) << c.text;
    EXPECT_EQ(d.ts, c.ts) << c.text;
    EXPECT_EQ(d.sig, c.sig) << c.text;
    EXPECT_EQ(std::vector<std::string>(d.vals.begin(), d.vals.end()), c.vals) << c.text;
  }
}

TEST(Decompose, Failures) {
  DecomposedFact d;
  d.sig = "stale";
  d.vals = {"stale"};
  for (const char* text : {"", "a.b.T", "ab|x", "x;a.b.T", "a.b.T;x|y", "|a.b.T", ";|", "a;b|c.d"}) {
    EXPECT_FALSE(decompose(text, d)) << text;
  }
}

TEST(Decompose, ViewsPointIntoTheTextAndBuffersAreReused) {
  const std::string text = "9;n.s.T|a>b:c|d>e:f|";
  DecomposedFact d;
  ASSERT_TRUE(decompose(text, d));
  const auto in_text = [&](std::string_view v) {
    return v.data() >= text.data() && v.data() + v.size() <= text.data() + text.size();
  };
  EXPECT_TRUE(in_text(d.ts));
  for (std::string_view v : d.vals) EXPECT_TRUE(in_text(v));

  const char* sig_buffer = d.sig.data();
  const auto* vals_buffer = d.vals.data();
  ASSERT_TRUE(decompose("n.s.T|x>y:z|", d));
  EXPECT_EQ(d.sig.data(), sig_buffer);
  EXPECT_EQ(d.vals.data(), vals_buffer);
  EXPECT_EQ(d.vals.size(), 2u);
}

// Reference: the decomposition written plainly, one search per separator, as the format
// describes it. The fast one scans each segment once.
bool reference_decompose(std::string_view text, std::string& ts, std::string& sig, std::vector<std::string>& vals) {
  if (const auto semi = text.find(';'); semi != std::string_view::npos) text.remove_prefix(semi + 1);
  const auto bar = text.find('|');
  if (bar == std::string_view::npos) return false;
  const std::string_view header = text.substr(0, bar);
  const auto dot = header.rfind('.');
  if (dot == std::string_view::npos) return false;
  ts = header.substr(dot + 1);
  sig = std::string(header.substr(0, dot)) + ".{TS}|";
  vals.clear();
  std::string_view body = text.substr(bar + 1);
  bool first = true;
  while (!body.empty()) {
    const auto end = body.find('|');
    const std::string_view segment = body.substr(0, end);
    body.remove_prefix(end == std::string_view::npos ? body.size() : end + 1);
    if (segment.empty()) continue;
    if (!first) sig += '|';
    first = false;
    const auto gt = segment.find('>');
    const auto colon = gt == std::string_view::npos ? gt : segment.substr(gt + 1).rfind(':');
    if (colon == std::string_view::npos) {
      sig += segment;
      continue;
    }
    sig += std::string(segment.substr(0, gt)) + kMark;
    vals.emplace_back(segment.substr(gt + 1, colon));
    vals.emplace_back(segment.substr(gt + 2 + colon));
  }
  sig += '|';
  return true;
}

TEST(Decompose, RandomTextsMatchTheReference) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  static constexpr char kAlphabet[] = "|||>>::..;ab\x01";
  DecomposedFact d;
  for (int i = 0; i < 20000; ++i) {
    std::string text(rng() % 48, '\0');
    for (char& c : text) c = kAlphabet[rng() % (sizeof kAlphabet - 1)];
    std::string ts, sig;
    std::vector<std::string> vals;
    const bool expected = reference_decompose(text, ts, sig, vals);
    ASSERT_EQ(decompose(text, d), expected) << text;
    if (!expected) continue;
    EXPECT_EQ(d.ts, ts) << text;
    EXPECT_EQ(d.sig, sig) << text;
    ASSERT_EQ(d.vals.size(), vals.size()) << text;
    for (std::size_t k = 0; k < vals.size(); ++k) EXPECT_EQ(d.vals[k], vals[k]) << text;
  }
}

TEST(DecompositionRecord, Layout) {
  std::string out = "pre";
  ASSERT_TRUE(append_decomposition_record("a.b.T|", out));
  EXPECT_EQ(out, "pre"
                 "\0\0\0\x01"s   // ts length
                 "\0\0\0\x0A"s   // sig length
                 "\0\0\0\0"s     // value count
                 "T"
                 "a.b.{TS}||");
  out.clear();
  ASSERT_TRUE(append_decomposition_record("x;a.b.T|s>u:vw|", out));
  EXPECT_EQ(out, "\0\0\0\x01"s "\0\0\0\x0F"s "\0\0\0\x02"s "T" "a.b.{TS}|s" + kMark + "|" +
                     "\0\0\0\x01"s "u" "\0\0\0\x02"s "vw");

  out = "keep";
  EXPECT_FALSE(append_decomposition_record("a.b.T", out));
  EXPECT_FALSE(append_decomposition_record("a.b.T|\xFF", out));  // not UTF-8
  EXPECT_FALSE(append_decomposition_record("a.b.T|\xC3", out));  // cut character
  EXPECT_EQ(out, "keep");
}

}  // namespace
}  // namespace vm
