// The tool's own prediction of the receiver's answer: the JSON writer's number and string
// forms, and the flat view of compact fact texts. Cases come from the protocol's worked
// examples and edge-case lists, plus the two mended rules (a msg closed by "|", a url
// that already has a scheme).
#include <gtest/gtest.h>

#include "json_text.h"
#include "json_view.h"

namespace tavkin {
namespace {

std::string number(double v) {
  std::string out;
  append_json_number(out, v);
  return out;
}

TEST(JsonNumber, LayoutByExponent) {
  static const struct {
    double value;
    const char* text;
  } kCases[] = {
      // Positional from 1e-5 to 1e15, exponent form outside; integral values get ".0".
      {0.0, "0.0"},        {-0.0, "-0.0"},           {10.0, "10.0"},       {123.25, "123.25"},
      {0.215, "0.215"},    {-0.0012, "-0.0012"},     {0.00001, "0.00001"}, {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},     {1.5e-7, "1.5e-7"},       {2.5e300, "2.5e+300"}, {0.000015, "0.000015"},
      {-1e-6, "-1e-6"},    {1700000000.5, "1700000000.5"}, {9.2233720368547758e14, "922337203685477.6"},
  };
  for (const auto& c : kCases) EXPECT_EQ(number(c.value), c.text) << c.value;
}

TEST(JsonNumber, NonFiniteIsNull) {
  EXPECT_EQ(number(std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(number(std::numeric_limits<double>::quiet_NaN()), "null");
}

TEST(JsonString, EscapesOnlyWhatItMust) {
  std::string out;
  append_json_string(out, std::string("a\"b\\c/d\x7f\b\t\n\f\r\x01\x1f\xc3\xa9", 17));
  EXPECT_EQ(out, "\"a\\\"b\\\\c/d\x7f\\b\\t\\n\\f\\r\\u0001\\u001f\xc3\xa9\"");
}

TEST(JsonObject, MembersInByteOrder) {
  JsonObject o;
  o["cmd"] = std::uint64_t{1};
  o["base_cmd"] = std::uint64_t{2};
  o["s10_id"] = std::string("x");
  o["s1_id"] = std::string("y");
  o["__packet_meta__"] = RawJson{"{}"};
  EXPECT_EQ(to_json(o), R"({"__packet_meta__":{},"base_cmd":2,"cmd":1,"s10_id":"x","s1_id":"y"})");
}

// The decompress answer of the worked example, byte for byte.
TEST(DecompressAnswer, WorkedExample) {
  const PacketMeta meta{63, 305419896, 24, 1700000000000, true};
  EXPECT_EQ(
      expected_decompress_answer("node7.1.AYvP5WgA|t1>0.c1:yG|h>0.m/s2:q0U|d>0.1,km:-c|&hi|#czE|@eHl6", meta),
      R"({"__packet_meta__":{"base_cmd":63,"cmd":63,"crc16_ok":true,"secure":false,"source_aid":305419896,"tid":24,"timestamp_raw":1700000000000},)"
      R"("geohash":"hi","id":"node7","msg":"xyz","s":"1","s1_id":"t1","s1_s":"0","s1_u":"c1","s1_v":0.215,)"
      R"("s2_id":"h","s2_s":"0","s2_u":"m/s2","s2_v":10.0,"s3_id":"d","s3_s":"0","s3_u":"1,km","s3_v":-0.0012,)"
      R"("t_raw":1700000000000,"url":"https://s1"})");
}

TEST(DecompressAnswer, SecureCommandAndRoutingPrefix) {
  const PacketMeta meta{171, 7, 30, 5, true};
  EXPECT_EQ(expected_decompress_answer("relay1;a.b|", meta),
            R"({"__packet_meta__":{"base_cmd":170,"cmd":171,"crc16_ok":true,"secure":true,"source_aid":7,"tid":30,"timestamp_raw":5},"id":"a","s":"b"})");
}

TEST(CompactFactView, EdgeCases) {
  static const struct {
    const char* text;
    const char* view;
  } kCases[] = {
      {"", "{}"},
      {"a", "{}"},
      {"a.b", R"({"id":"a","s":"b"})"},
      {"a.b.AAAA", R"({"id":"a","s":"b"})"},  // three bytes are too few for a timestamp
      {"a.b.AAAAAAAB.x", R"({"id":"a","s":"b","t_raw":1})"},
      {"a.b.T|x>y:", R"({"id":"a","s":"b","s1_id":"x","s1_s":"y","s1_u":"","s1_v":0.0})"},
      {"a.b.T|x>y:-", R"({"id":"a","s":"b","s1_id":"x","s1_s":"y","s1_u":"","s1_v":0.0})"},
      {"a.b.T|x>y:1!", R"({"id":"a","s":"b","s1_id":"x","s1_s":"y","s1_u":"","s1_v":0.0})"},
      {"a.b.T|x>y.u:a:b", R"({"id":"a","s":"b","s1_id":"x","s1_s":"y","s1_u":"u:a","s1_v":0.0011})"},
      {"a.b.T|nogt|x>y:1|", R"({"id":"a","s":"b","s1_id":"x","s1_s":"y","s1_u":"","s1_v":0.0001})"},
      {"a.b.T|&|", R"({"geohash":"","id":"a","s":"b"})"},
      {"a.b.T|#!!|", R"({"id":"a","s":"b"})"},
      {"a.b.T|@", R"({"id":"a","msg":"","s":"b"})"},
      {"a.b.T|@eHl6@zzz", R"({"id":"a","msg":"xyz","s":"b"})"},
      // Beyond int64 reads as 0; the largest int64 does not.
      {"a.b.T|x>y:aZl8N0y58M8", R"({"id":"a","s":"b","s1_id":"x","s1_s":"y","s1_u":"","s1_v":0.0})"},
      {"a.b.T|x>y:-aZl8N0y58M7", R"({"id":"a","s":"b","s1_id":"x","s1_s":"y","s1_u":"","s1_v":-922337203685477.6})"},
      // Mended: the "|" that a rebuilt text puts after the msg is not part of it.
      {"a.b.T|@eHl6|", R"({"id":"a","msg":"xyz","s":"b"})"},
      // Mended: a url that carries its own scheme is kept as it stands.
      {"a.b.T|#aHR0cDovL2E|", R"({"id":"a","s":"b","url":"http://a"})"},        // "http://a"
      {"a.b.T|#bXF0dCtzOi8vaA|", R"({"id":"a","s":"b","url":"mqtt+s://h"})"},   // "mqtt+s://h"
      {"a.b.T|#Oi8vaA|", R"({"id":"a","s":"b","url":"https://://h"})"},          // "://h": no scheme
      {"a.b.T|#MWE6Ly9o|", R"({"id":"a","s":"b","url":"https://1a://h"})"},      // "1a://h": starts with a digit
      {"a.b.T|#wyg|", R"({"id":"a","s":"b"})"},  // 0xC3 0x28: not UTF-8
  };
  for (const auto& c : kCases) EXPECT_EQ(to_json(compact_fact_view(c.text)), c.view) << c.text;
}

TEST(CompactFactView, TenReadingsSortAfterTheirPrefix) {
  std::string text = "n.s.AAAAAAAA|";
  for (int i = 0; i < 10; ++i) text += "r>s.u:1|";
  const std::string json = to_json(compact_fact_view(text));
  EXPECT_LT(json.find("\"s10_id\""), json.find("\"s1_id\""));
  EXPECT_NE(json.find("\"s10_v\":0.0001"), std::string::npos);
}

TEST(RoutingPrefix, DropsUpToTheFirstSemicolon) {
  EXPECT_EQ(without_routing_prefix("7;a;b"), "a;b");
  EXPECT_EQ(without_routing_prefix("a.b|"), "a.b|");
}

}  // namespace
}  // namespace tavkin
