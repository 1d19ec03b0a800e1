// Facts and configurations as the tool holds them: the byte records it hands the library
// (checked field by field), its JSON Lines form read back, and the reader's messages for
// bad input.
#include <gtest/gtest.h>

#include "fact.h"
#include "fact_json.h"

namespace tavkin {
namespace {

using namespace std::string_literals;

TEST(FactRecord, FieldByField) {
  Fact fact;
  fact.id = "n";
  fact.s = "ok";
  fact.timestamp = 1.0;
  fact.readings.push_back({"t", "", -2.0, "C"});
  fact.url = "u";
  const std::string expected = "\0\0\0\x01n"s                   // id
                               "\0\0\0\x02ok"s                  // s
                               "\x3f\xf0\0\0\0\0\0\0"s          // timestamp 1.0
                               "\0\0\0\x01"s                    // one reading
                               "\0\0\0\x01t"s "\0\0\0\0"s       // reading id, empty state
                               "\xc0\0\0\0\0\0\0\0"s            // v -2.0
                               "\0\0\0\x01" "C"s               // u
                               "\xff\xff\xff\xff"s              // no geohash
                               "\0\0\0\x01u"s                   // url
                               "\xff\xff\xff\xff"s;             // no msg
  EXPECT_EQ(fact_record(fact), expected);
}

TEST(ConfigRecord, SmallestAndWithPairs) {
  EXPECT_EQ(compressor_config_record({0, false, {}, {}}), std::string(13, '\0'));
  const CompressorSettings s{2, true, {{"KM", "a"}}, {{"ok", "0"}}};
  EXPECT_EQ(compressor_config_record(s), "\0\0\0\x02\x01"s
                                         "\0\0\0\x01" "\0\0\0\x02KM" "\0\0\0\x01" "a"s
                                         "\0\0\0\x01" "\0\0\0\x02ok" "\0\0\0\x01" "0"s);
  EXPECT_EQ(longest_code({2, true, {{"a", "xyz"}}, {{"b", "12345"}}}), 5u);
}

TEST(FactJson, WrittenFactReadsBackEqual) {
  Fact fact;
  fact.aid = 4294967295u;
  fact.id = "node \"7\"";
  fact.s = "online";
  fact.timestamp = 1700000000.125;
  fact.readings = {{"t1", "ok", 21.5, "Celsius"}, {"h", "warn", -0.000015, "%"}};
  fact.geohash = "u4pruyd";
  fact.msg = "door\nopen";
  std::string line;
  append_fact_json(line, fact);
  JsonReader reader;
  const auto back = reader.fact(line);
  ASSERT_TRUE(back.value) << back.error;
  EXPECT_EQ(fact_record(*back.value), fact_record(fact));
  EXPECT_EQ(back.value->aid, fact.aid);
  EXPECT_FALSE(back.value->url);
}

TEST(FactJson, BadInputIsNamed) {
  static const struct {
    const char* line;
    const char* message_part;
  } kCases[] = {
      {R"({"id":"n","s":"x","timestamp":1,"readings":[])", "not valid JSON"},
      {R"([1])", "a fact must be an object, not an array"},
      {R"({"s":"x","timestamp":1,"readings":[]})", "has no \"id\""},
      {R"({"id":1,"s":"x","timestamp":1,"readings":[]})", "\"id\" must be a string, not a number"},
      {R"({"id":"n","s":"x","timestamp":"1","readings":[]})", "\"timestamp\" must be a number, not a string"},
      {R"({"id":"n","s":"x","timestamp":1})", "no \"readings\""},
      {R"({"id":"n","s":"x","timestamp":1,"readings":[{"id":"t","s":"","v":1}]})", "readings[0]. has no \"u\""},
      {R"({"id":"n","s":"x","timestamp":1,"readings":[{"id":"t","s":"","v":true,"u":""}]})",
       "readings[0].\"v\" must be a number, not a boolean"},
      {R"({"id":"n","s":"x","timestamp":1,"readings":[],"readngs":[]})", "unknown member \"readngs\""},
      {R"({"id":"n","id":"m","s":"x","timestamp":1,"readings":[]})", "the member \"id\" twice"},
      {R"({"aid":-1,"id":"n","s":"x","timestamp":1,"readings":[]})", "\"aid\" must be a device id"},
      {R"({"aid":4294967296,"id":"n","s":"x","timestamp":1,"readings":[]})", "\"aid\" must be a device id"},
      {R"({"id":"n","s":"x","timestamp":1,"readings":[],"msg":5})", "\"msg\" must be a string or null"},
      {"{\"id\":\"\xff\",\"s\":\"x\",\"timestamp\":1,\"readings\":[]}", "not valid JSON"},
  };
  JsonReader reader;
  for (const auto& c : kCases) {
    const auto parsed = reader.fact(c.line);
    EXPECT_FALSE(parsed.value) << c.line;
    EXPECT_NE(parsed.error.find(c.message_part), std::string::npos) << c.line << " gave: " << parsed.error;
  }
}

TEST(SettingsJson, DefaultsOrderAndErrors) {
  JsonReader reader;
  const auto s = reader.settings(R"({"units":{"KM":"a","km":"b"},"states":{"online":"1"}})");
  ASSERT_TRUE(s.value) << s.error;
  EXPECT_EQ(s.value->precision, 4u);
  EXPECT_FALSE(s.value->ms_timestamps);
  ASSERT_EQ(s.value->units.size(), 2u);  // kept in order: the library lets the last one win
  EXPECT_EQ(s.value->units[1].first, "km");
  static const struct {
    const char* text;
    const char* message_part;
  } kCases[] = {
      {R"({"precision":19})", "from 0 to 18"},
      {R"({"precision":2.5})", "from 0 to 18"},
      {R"({"ms_timestamps":1})", "true or false"},
      {R"({"units":[]})", "\"units\" must be an object"},
      {R"({"units":{"a":1}})", "\"units\".\"a\" must be a string code"},
      {R"({"units":{"a":"x","a":"y"}})", "names \"a\" twice"},
      {R"({"unit":{}})", "unknown member \"unit\""},
  };
  for (const auto& c : kCases) {
    const auto parsed = reader.settings(c.text);
    EXPECT_FALSE(parsed.value) << c.text;
    EXPECT_NE(parsed.error.find(c.message_part), std::string::npos) << c.text << " gave: " << parsed.error;
  }
}

}  // namespace
}  // namespace tavkin
