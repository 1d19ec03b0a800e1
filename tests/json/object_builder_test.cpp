#include <gtest/gtest.h>

#include <string>

#include "json/object_builder.h"

namespace vm::json {
namespace {

std::string written(const ObjectBuilder& b) {
  std::string out = "junk";
  b.write(out);
  return out.substr(4);
}

TEST(ObjectBuilder, WritesMembersInByteOrderOfKeys) {
  ObjectBuilder b;
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(written(b), "{}");
  b.add_uint("cmd", 63);
  b.add_uint("base_cmd", 63);
  EXPECT_EQ(written(b), R"({"base_cmd":63,"cmd":63})");

  // Byte order, not numeric or case-folded order: "s10_id" < "s1_id", "Z" < "_" < "a".
  ObjectBuilder c;
  for (const char* key : {"s1_id", "s10_id", "a", "_", "Z", "s2_id", ""}) c.add_null(key);
  EXPECT_EQ(written(c), R"({"":null,"Z":null,"_":null,"a":null,"s10_id":null,"s1_id":null,"s2_id":null})");
}

TEST(ObjectBuilder, LaterMemberWithSameKeyReplacesEarlier) {
  ObjectBuilder b;
  b.add_string("geohash", "first");
  b.add_int("n", -5);
  b.add_string("geohash", "second");
  b.add_bool("n", true);
  EXPECT_EQ(written(b), R"({"geohash":"second","n":true})");
}

TEST(ObjectBuilder, EscapesKeysAndKeepsNestedObjectsAsAdded) {
  ObjectBuilder inner;
  inner.add_bool("secure", false);
  ObjectBuilder b;
  b.add_object("o", inner);
  inner.add_bool("later", true);  // not seen by b
  b.add_double("k\"\x01", 2.5);
  EXPECT_EQ(written(b), R"({"k\"\u0001":2.5,"o":{"secure":false}})");
  ObjectBuilder empty;
  b.add_object("", empty);
  EXPECT_EQ(written(b), R"({"":{},"k\"\u0001":2.5,"o":{"secure":false}})");
  b.add_string(std::string_view(), std::string_view());  // views without data pointers
  EXPECT_EQ(written(b), R"({"":"","k\"\u0001":2.5,"o":{"secure":false}})");
}

// The decompress answer for the worked example of the protocol: a compact fact sent as a
// full packet by device 305419896, tid 24, timestamp 1700000000000. Members are added in
// the order a fact reader meets them; the text is the documented answer byte for byte.
TEST(ObjectBuilder, BuildsTheDecompressAnswerOfTheWorkedExample) {
  ObjectBuilder answer;
  ObjectBuilder meta;
  for (int round = 0; round < 2; ++round) {  // the second round proves clear() leaves nothing
    answer.clear();
    meta.clear();
    answer.add_string("id", "node7");
    answer.add_string("s", "1");
    answer.add_uint("t_raw", 1700000000000);
    answer.add_string("s1_id", "t1");
    answer.add_string("s1_s", "0");
    answer.add_string("s1_u", "c1");
    answer.add_double("s1_v", 2150 / 10000.0);
    answer.add_string("s2_id", "h");
    answer.add_string("s2_s", "0");
    answer.add_string("s2_u", "m/s2");
    answer.add_double("s2_v", 100000 / 10000.0);
    answer.add_string("s3_id", "d");
    answer.add_string("s3_s", "0");
    answer.add_string("s3_u", "1,km");
    answer.add_double("s3_v", -12 / 10000.0);
    answer.add_string("geohash", "hi");
    answer.add_string("url", "https://s1");
    answer.add_string("msg", "xyz");
    meta.add_uint("cmd", 63);
    meta.add_uint("base_cmd", 63);
    meta.add_bool("secure", false);
    meta.add_bool("crc16_ok", true);
    meta.add_uint("source_aid", 305419896);
    meta.add_uint("tid", 24);
    meta.add_uint("timestamp_raw", 1700000000000);
    answer.add_object("__packet_meta__", meta);
    EXPECT_EQ(written(answer),
              R"({"__packet_meta__":{"base_cmd":63,"cmd":63,"crc16_ok":true,"secure":false,)"
              R"("source_aid":305419896,"tid":24,"timestamp_raw":1700000000000},"geohash":"hi",)"
              R"("id":"node7","msg":"xyz","s":"1","s1_id":"t1","s1_s":"0","s1_u":"c1","s1_v":0.215,)"
              R"("s2_id":"h","s2_s":"0","s2_u":"m/s2","s2_v":10.0,"s3_id":"d","s3_s":"0",)"
              R"("s3_u":"1,km","s3_v":-0.0012,"t_raw":1700000000000,"url":"https://s1"})");
  }
}

}  // namespace
}  // namespace vm::json
