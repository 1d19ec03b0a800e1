// The decompress answer is written straight in key order; the reference is the general
// ordered-object path (members added as the fact is read, sorted when written), which must
// give the same bytes for every text, readable or not.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "json/object_builder.h"
#include "requests/compact_fact_json.h"
#include "requests/decompress_answer.h"

namespace vm {
namespace {

HeaderInfo example_header() {
  HeaderInfo h;
  h.cmd = 64;
  h.base_cmd = 63;
  h.secure = true;
  h.source_aid = 305419896;
  h.tid = 24;
  h.timestamp_raw = 1700000000000;
  h.crc16_ok = true;
  return h;
}

std::string direct(std::string_view text, const HeaderInfo& h) {
  CompactFactMembers fact;
  read_compact_fact(text, fact);
  std::string out = "junk";
  append_decompress_answer(fact, h, out);
  return out.substr(4);
}

std::string reference(std::string_view text, const HeaderInfo& h) {
  json::ObjectBuilder answer, meta;
  compact_fact_to_json(text, answer);
  meta.add_uint("cmd", h.cmd);
  meta.add_uint("base_cmd", h.base_cmd);
  meta.add_bool("secure", h.secure);
  meta.add_bool("crc16_ok", h.crc16_ok);
  meta.add_uint("source_aid", h.source_aid);
  meta.add_uint("tid", h.tid);
  meta.add_uint("timestamp_raw", h.timestamp_raw);
  answer.add_object("__packet_meta__", meta);
  std::string out;
  answer.write(out);
  return out;
}

TEST(DecompressAnswer, WorkedExampleByteForByte) {
  HeaderInfo h = example_header();
  h.cmd = 63;
  h.secure = false;
  EXPECT_EQ(direct("node7.1.AYvP5WgA|t1>0.c1:yG|h>0.m/s2:q0U|d>0.1,km:-c|&hi|#czE|@eHl6", h),
            R"({"__packet_meta__":{"base_cmd":63,"cmd":63,"crc16_ok":true,"secure":false,"source_aid":305419896,)"
            R"("tid":24,"timestamp_raw":1700000000000},"geohash":"hi","id":"node7","msg":"xyz","s":"1",)"
            R"("s1_id":"t1","s1_s":"0","s1_u":"c1","s1_v":0.215,"s2_id":"h","s2_s":"0","s2_u":"m/s2",)"
            R"("s2_v":10.0,"s3_id":"d","s3_s":"0","s3_u":"1,km","s3_v":-0.0012,"t_raw":1700000000000,)"
            R"("url":"https://s1"})");
}

// Texts from the JSON view's edge cases, plus escapes, repeated trailers, a scheme kept in
// the url, values beyond the ten-thousandths fast path, and more than nine readings.
TEST(DecompressAnswer, SameBytesAsTheOrderedObject) {
  const std::string eleven = [] {
    std::string t = "d.s.AAAAAAAB|";
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict for operator+ from a literal.
    for (int i = 1; i <= 11; ++i) {
      const std::string n = std::to_string(i);
      for (const std::string& piece : {std::string("r"), n, std::string(">ok.u:"), n, std::string("|")}) t += piece;
    }
    return t;
  }();
  const std::string texts[] = {
      "",
      "a",
      "a.b",
      "a.b.AAAA",
      "a.b.T|x>y:",
      "a.b.T|x>y:-",
      "a.b.T|x>y:1!",
      "a.b.T|x>y.u:a:b",
      "a.b.T|nogt|x>y:1|",
      "a.b.T|&|",
      "a.b.T|#!!|",
      "a.b.T|@",
      "a.b.T|@eHl6@zzz",
      "a.b.T|@eHl6|",
      "a.b.T|&one|&two|#czE|#aHR0cDovL3g|",
      "q\"\\.\x01\x1f.AYvP5WgA|t\"1>\x7f.\xc3\xa9:-aZl8N0y58M7|x>y:aZl8N0y58M8|z>y:AAAAAAAAAAAA|",
      eleven,
      "node7.1.AYvP5WgA|t1>0.c1:yG|h>0.m/s2:q0U|d>0.1,km:-c|&hi|#czE|@eHl6",
  };
  for (const std::string& text : texts) EXPECT_EQ(direct(text, example_header()), reference(text, example_header())) << text;
}

// Random texts over the separators and a few code characters, with a printed seed.
TEST(DecompressAnswer, RandomTextsMatchTheOrderedObject) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  static constexpr char kAlphabet[] = "|.>:&#@-_aA0zZ9\"\\";
  HeaderInfo h = example_header();
  for (int i = 0; i < 3000; ++i) {
    std::string text;
    const int length = static_cast<int>(rng() % 80);
    for (int k = 0; k < length; ++k) text += kAlphabet[rng() % (sizeof kAlphabet - 1)];
    h.crc16_ok = i % 2;
    h.tid = static_cast<std::uint8_t>(rng());
    ASSERT_EQ(direct(text, h), reference(text, h)) << text;
  }
}

}  // namespace
}  // namespace vm
