#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "compressor/compress_fact.h"
#include "compressor/decompose.h"
#include "compressor/decompose_written.h"
#include "compressor/fact_compressor.h"
#include "record_builder.h"
#include "support/bytes.h"
#include "wire/utf8.h"

namespace vm {
namespace {

using testing::ConfigSpec;
using testing::FactSpec;
using testing::ReadingSpec;

FactCompressor compressor_of(const ConfigSpec& settings) {
  const std::string bytes = testing::config_record(settings).bytes;
  auto c = read_compressor_config(as_bytes(bytes));
  EXPECT_TRUE(c.has_value());
  return c ? std::move(*c) : FactCompressor{};
}

std::string compress(const FactCompressor& c, const FactSpec& fact) {
  const std::string record = testing::fact_record(fact).bytes;
  std::string out;
  EXPECT_TRUE(compress_fact(c, as_bytes(record), out));
  return out;
}

TEST(CompressFact, WorkedExample) {
  const FactCompressor c = compressor_of(testing::example_config());
  EXPECT_EQ(compress(c, testing::example_fact()), testing::kExampleCompact);
}

TEST(CompressFact, AppendsAfterAPrefix) {
  const FactCompressor c = compressor_of(testing::example_config());
  const std::string record = testing::fact_record(testing::example_fact()).bytes;
  std::string out = "123;";
  ASSERT_TRUE(compress_fact(c, as_bytes(record), out));
  EXPECT_EQ(out, std::string("123;") + testing::kExampleCompact);
}

// State and unit codes are remembered per thread; what is remembered must follow the
// compressor: the same texts under other maps and scales, interleaved, and maps that were
// moved away (now empty) give their own codes.
TEST(CompressFact, RememberedCodesFollowTheirCompressor) {
  const FactSpec fact{"n", "On", 0, {{"r", "OK", 1.5, "Celsius/1000W"}}, {}, {}, {}};
  FactCompressor a = compressor_of({2, 0, {{"celsius", "C"}}, {{"on", "1"}, {"ok", "0"}}});
  const FactCompressor b = compressor_of({2, 0, {{"celsius", "degC"}, {"kw", "KW"}}, {{"ok", "good"}}});
  const FactCompressor c = compressor_of({0, 0, {{"celsius", "C"}}, {{"on", "1"}, {"ok", "0"}}});
  const FactCompressor d = compressor_of({2, 0, {}, {}});
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(compress(a, fact), "n.1.AAAAAAAA|r>0.C/1,kW:2q|");
    EXPECT_EQ(compress(b, fact), "n.On.AAAAAAAA|r>good.degC/1,KW:2q|");
    EXPECT_EQ(compress(c, fact), "n.1.AAAAAAAA|r>0.C/1,kW:2|");
    EXPECT_EQ(compress(d, fact), "n.On.AAAAAAAA|r>OK.Celsius/1,kW:2q|");
  }
  const FactCompressor moved_to = std::move(a);
  EXPECT_EQ(compress(moved_to, fact), "n.1.AAAAAAAA|r>0.C/1,kW:2q|");
  EXPECT_EQ(compress(a, fact), "n.On.AAAAAAAA|r>OK.Celsius/1,kW:2q|");  // NOLINT(bugprone-use-after-move)
}

// Header, trailers and name mapping. Compressor: scale 100, ms switch as given, states
// {"online" -> "1", "" -> "E"}.
TEST(CompressFact, Segments) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kTwoTo48 = 281474976710656.0;
  static const struct { bool ms; FactSpec fact; const char* text; } kCases[] = {
      {false, {"n", "s", 0, {}, {}, {}, {}}, "n.s.AAAAAAAA|"},
      {true, {"n", "s", 99999999999.0, {}, {}, {}, {}}, "n.s.WvMQejwY|"},   // x 1000
      {true, {"n", "s", 100000000000.0, {}, {}, {}, {}}, "n.s.ABdIdugA|"},  // kept
      {false, {"n", "s", 99999999999.0, {}, {}, {}, {}}, "n.s.ABdIduf_|"},
      {true, {"n", "s", -1, {}, {}, {}, {}}, "n.s.AAAAAAAA|"},
      {true, {"n", "s", kNaN, {}, {}, {}, {}}, "n.s.AAAAAAAA|"},
      {false, {"n", "s", 18446744073709551616.0, {}, {}, {}, {}}, "n.s.________|"},
      {false, {"n", "s", kTwoTo48 + 5, {}, {}, {}, {}}, "n.s.AAAAAAAF|"},
      {false, {"n", "s", 5, {}, {}, {}, {}}, "n.s.AAAAAAAF|"},
      // States: mapped ignoring case, else kept as given; the empty name is a name.
      {false, {"n", "OnLine", 0, {{"r", "ONLINE", 1, "m"}}, {}, {}, {}}, "n.1.AAAAAAAA|r>1.m:1C|"},
      {false, {"n", "Offline", 0, {{"r", "", 1, "m"}}, {}, {}, {}}, "n.Offline.AAAAAAAA|r>E.m:1C|"},
      {false, {"", "", 0, {{"", "", 0, ""}}, {}, {}, {}}, ".E.AAAAAAAA|>E.Z:0|"},
      // Separators inside identifiers and the geohash are copied as they are.
      {false, {"a|b.c", "x>y", 0, {{"p:q", "s", 0, "u"}}, "g|h", {}, {}},
       "a|b.c.x>y.AAAAAAAA|p:q>s.u:0|&g|h|"},
      // Trailers, in the order geohash, url, msg; the msg has no closing bar.
      {false, {"n", "s", 0, {}, "", {}, {}}, "n.s.AAAAAAAA|&|"},
      {false, {"n", "s", 0, {}, {}, "https://", {}}, "n.s.AAAAAAAA|#|"},
      {false, {"n", "s", 0, {}, {}, "http://a", {}}, "n.s.AAAAAAAA|#aHR0cDovL2E|"},
      {false, {"n", "s", 0, {}, {}, "HTTPS://s1", {}}, "n.s.AAAAAAAA|#SFRUUFM6Ly9zMQ|"},
      {false, {"n", "s", 0, {}, {}, "https:/", {}}, "n.s.AAAAAAAA|#aHR0cHM6Lw|"},
      {false, {"n", "s", 0, {}, {}, "https://https://x", {}}, "n.s.AAAAAAAA|#aHR0cHM6Ly94|"},
      {false, {"n", "s", 0, {}, {}, {}, ""}, "n.s.AAAAAAAA|@"},
      {false, {"n", "s", 0, {}, {}, {}, "xyz"}, "n.s.AAAAAAAA|@eHl6"},
      {false, {"n", "s", 0, {}, "gh", "https://s1", "xyz"}, "n.s.AAAAAAAA|&gh|#czE|@eHl6"},
      {false, {"n", "s", 0, {}, {}, {}, "\xC3\xA9?>"}, "n.s.AAAAAAAA|@w6k_Pg"},
  };
  for (const auto& c : kCases) {
    const FactCompressor fc = compressor_of({2, c.ms, {}, {{"online", "1"}, {"", "E"}}});
    EXPECT_EQ(compress(fc, c.fact), c.text) << c.text;
  }
}

TEST(CompressFact, ReadingsKeepRecordOrder) {
  const FactCompressor c = compressor_of({0, 0, {{"celsius", "C"}}, {}});
  std::vector<ReadingSpec> readings;
  std::string expected = "n.s.AAAAAAAA|";
  for (int i = 0; i < 40; ++i) {
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict for operator+ from a literal.
    std::string id = "r";
    id += std::to_string(i);
    readings.push_back({id, "ok", static_cast<double>(i), "celsius"});
    expected += id;
    expected += ">ok.C:";
    expected += "0123456789abcdefghijklmnopqrstuvwxyzABCD"[i];
    expected += '|';
  }
  EXPECT_EQ(compress(c, {"n", "s", 0, readings, {}, {}, {}}), expected);
}

// A record cut at every byte, one byte too long, or with invalid UTF-8 in any of its
// texts fails and leaves the output exactly as it was.
TEST(CompressFact, MalformedRecordsLeaveOutputUntouched) {
  const FactCompressor c = compressor_of(testing::example_config());
  const testing::RecordBuilder valid = testing::fact_record(testing::example_fact());
  const std::string kBefore = "7;junk\xFF";
  auto rejects = [&](const std::string& record) {
    std::string out = kBefore;
    const bool ok = compress_fact(c, as_bytes(record), out);
    return !ok && out == kBefore;
  };
  for (std::size_t n = 0; n < valid.bytes.size(); ++n) {
    // A heap copy of exactly n bytes, so that ASan sees any read past the end.
    const std::string cut = valid.bytes.substr(0, n);
    EXPECT_TRUE(rejects(cut)) << "cut at " << n;
  }
  EXPECT_TRUE(rejects(valid.bytes + '\0'));
  ASSERT_EQ(valid.texts.size(), 3u + 3 * 3 + 2);  // id, s, readings x 3 texts, trailers
  for (const auto& [offset, length] : valid.texts) {
    std::string bad = valid.bytes;
    bad[offset] = '\x80';  // a lone continuation byte
    EXPECT_TRUE(rejects(bad)) << "text at " << offset;
  }
}

TEST(CompressFact, MalformedCountsAndLengths) {
  const FactCompressor c = compressor_of({});
  const auto header = [] {
    testing::RecordBuilder b;
    b.text("n").text("s").f64(0);
    return b;
  };
  std::string out;
  // Four billion readings declared, none present: fails before reserving anything.
  auto huge = header();
  huge.u32(0xFFFFFFFF).u32(0xFFFFFFFF).u32(0xFFFFFFFF).u32(0xFFFFFFFF);
  EXPECT_FALSE(compress_fact(c, as_bytes(huge.bytes), out));
  // A text length far beyond the record.
  testing::RecordBuilder long_text;
  long_text.u32(0xFFFFFFF0).bytes += "n";
  EXPECT_FALSE(compress_fact(c, as_bytes(long_text.bytes), out));
  // 0xFFFFFFFF means absent only for the optional trailers.
  testing::RecordBuilder absent_id;
  absent_id.u32(0xFFFFFFFF);
  EXPECT_FALSE(compress_fact(c, as_bytes(absent_id.bytes), out));
  // One reading fewer than declared; one reading more than declared.
  auto fewer = header();
  fewer.u32(2).text("r").text("s").f64(1).text("m").u32(0xFFFFFFFF).u32(0xFFFFFFFF).u32(0xFFFFFFFF);
  EXPECT_FALSE(compress_fact(c, as_bytes(fewer.bytes), out));
  auto more = header();
  more.u32(0).text("r").text("s").f64(1).text("m").u32(0xFFFFFFFF).u32(0xFFFFFFFF).u32(0xFFFFFFFF);
  EXPECT_FALSE(compress_fact(c, as_bytes(more.bytes), out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(compress_fact(c, {}, out));
}

// Texts that survive decomposition intact: no bar, no semicolon, and (for ids, which
// decomposition splits at their first ">") no ">". Pieces include separators that are
// harmless in each place, multi-byte characters and numeric forms that exercise units.
rc::Gen<std::string> text_of(std::vector<std::string> pieces) {
  return rc::gen::map(rc::gen::container<std::vector<std::string>>(rc::gen::elementOf(pieces)),
                      [](const std::vector<std::string>& parts) {
                        std::string s;
                        for (const auto& p : parts) s += p;
                        return s;
                      });
}

const std::vector<std::string> kIdPieces = {"a", "Z", "7", ".", ":", "-", "_", " ", "é", "{TS}", "°"};
const std::vector<std::string> kUnitPieces = {"m", "K", "s", "/", "2", "1000", "2.5", "e", "+",
                                              "-", " ", "\u00A0", "inf", "NaN", "°C", ".", ":", ">"};

rc::Gen<double> any_value() {
  return rc::gen::oneOf(rc::gen::arbitrary<double>(),
                        rc::gen::elementOf(std::vector<double>{
                            0.0, -0.0, 0.5, -2.5, 21.505, 1e300, -1e300, 1e18,
                            std::numeric_limits<double>::infinity(),
                            std::numeric_limits<double>::quiet_NaN()}));
}

// Decomposing a compressed fact gives two values per reading, and putting the timestamp
// and values back into the signature gives the compact text again.
RC_GTEST_PROP(CompressFact, DecompositionRoundTrip, ()) {
  const auto precision = *rc::gen::inRange<std::uint32_t>(0, 19);
  const FactCompressor c = compressor_of(
      {precision, *rc::gen::arbitrary<std::uint8_t>(), {{"m", "M1"}, {"°c", "dc"}}, {{"ok", "0"}}});
  FactSpec fact;
  fact.id = *text_of(kIdPieces);
  fact.s = *text_of(kIdPieces);
  fact.timestamp = *any_value();
  const auto count = *rc::gen::inRange(0, 6);
  for (int i = 0; i < count; ++i)
    fact.readings.push_back({*text_of(kIdPieces), *text_of(kUnitPieces), *any_value(),
                             *text_of(kUnitPieces)});
  if (*rc::gen::arbitrary<bool>()) fact.geohash = *text_of({"u", "4", "p", "z", ".", ":"});
  if (*rc::gen::arbitrary<bool>()) fact.url = *text_of({"https://", "a", "|", ";", ">"});
  if (*rc::gen::arbitrary<bool>()) fact.msg = *text_of({"x", "|", ";", "@", "é"});

  const std::string record = testing::fact_record(fact).bytes;
  std::string text;
  RC_ASSERT(compress_fact(c, as_bytes(record), text));
  RC_ASSERT(is_valid_utf8(text));

  DecomposedFact d;
  RC_ASSERT(decompose(text, d));
  RC_ASSERT(d.vals.size() == 2 * fact.readings.size());
  RC_ASSERT(d.ts.size() == 8u);

  const std::size_t mark = d.sig.find(".{TS}|");
  RC_ASSERT(mark != std::string::npos);
  std::string rebuilt = d.sig.substr(0, mark) + "." + std::string(d.ts) + "|";
  std::size_t next_value = 0;
  for (char ch : std::string_view(d.sig).substr(mark + 6)) {
    if (ch == '\x01') {
      RC_ASSERT(next_value < d.vals.size());
      rebuilt += d.vals[next_value++];
    } else {
      rebuilt += ch;
    }
  }
  RC_ASSERT(next_value == d.vals.size());
  // The signature always ends with a bar of its own: after the msg segment, which has
  // none in the text, and after the header's bar when there are no other segments.
  const bool only_header = fact.readings.empty() && !fact.geohash && !fact.url && !fact.msg;
  RC_ASSERT(rebuilt == (fact.msg || only_header ? text + "|" : text));
}

// The signature and values taken from the writer's layout are those of decomposing the
// text, whatever the fact's texts hold: separators, a semicolon, 0x01, "{TS}", or a
// routing prefix of any form before them.
RC_GTEST_PROP(CompressFact, WrittenLayoutDecomposesAsTheText, ()) {
  const std::vector<std::string> pieces = {"a", "7", ".", ":", ">", "|", ";", "\x01", "{TS}", "&", "@", "é"};
  const FactCompressor c = compressor_of({*rc::gen::inRange<std::uint32_t>(0, 6), *rc::gen::arbitrary<std::uint8_t>(),
                                          {{"m", "M|1"}, {"k", "K:>"}, {"c", "dc"}},
                                          {{"ok", "0"}, {"bad", "b;|"}}});
  const auto plain_or = [&](std::vector<std::string> odd) {
    return rc::gen::oneOf(rc::gen::elementOf(std::vector<std::string>{"a", "dev7", "ok", "m", "c", "k", "bad"}),
                          text_of(std::move(odd)));
  };
  FactSpec fact;
  fact.id = *plain_or(pieces);
  fact.s = *plain_or(pieces);
  fact.timestamp = *any_value();
  const auto count = *rc::gen::inRange(0, 6);
  for (int i = 0; i < count; ++i)
    fact.readings.push_back({*plain_or(pieces), *plain_or(pieces), *any_value(), *plain_or(pieces)});
  if (*rc::gen::arbitrary<bool>()) fact.geohash = *plain_or(pieces);
  if (*rc::gen::arbitrary<bool>()) fact.url = *text_of({"https://", "a", "|", ";", ">"});
  if (*rc::gen::arbitrary<bool>()) fact.msg = *text_of({"x", "|", ";", "@", "é"});
  const std::string prefix = *rc::gen::elementOf(std::vector<std::string>{"", "42;", "x;y;", "a|b>c:;"});

  const std::string record = testing::fact_record(fact).bytes;
  std::string text = prefix;
  FactLayout layout;
  RC_ASSERT(compress_fact(c, as_bytes(record), text, layout));

  DecomposedFact general, written;
  const bool decomposes = decompose(text, general);
  RC_ASSERT(decompose_written(text, layout, written) == decomposes);
  if (!decomposes) return;
  RC_ASSERT(written.sig == general.sig);
  RC_ASSERT(written.ts == general.ts);
  RC_ASSERT(written.vals == general.vals);
  // Views into the same text at the same places, not equal copies elsewhere.
  RC_ASSERT(written.ts.data() == general.ts.data());
}

}  // namespace
}  // namespace vm
