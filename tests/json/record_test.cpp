#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "json/record.h"
#include "sample_records.h"

namespace vm::json {
namespace {

using sample::FusionDecompressReq;
using sample::FusionRunReq;
using sample::kFusionDecompressReq;
using sample::kFusionRunReq;

std::optional<FusionRunReq> run_req(Reader& reader, std::string_view text) {
  return read_record(reader, text, kFusionRunReq);
}

TEST(Record, ReadsObjectsInAnyOrderWithDefaults) {
  Reader reader;
  auto r = run_req(reader, R"({"raw_input":"7;a.b.c|x>y:1"})");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->ctx_id, 0u);
  EXPECT_EQ(r->raw_input, "7;a.b.c|x>y:1");
  EXPECT_EQ(r->strategy, "");
  EXPECT_FALSE(r->src_aid);
  EXPECT_FALSE(r->registry_root);

  r = run_req(reader, R"({"registry_root":"/tmp/r","src_aid":4294967295,"strategy":"full",)"
                      R"("raw_input":"x","ctx_id":18446744073709551615})");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->ctx_id, 18446744073709551615u);
  EXPECT_EQ(r->raw_input, "x");
  EXPECT_EQ(r->strategy, "full");
  EXPECT_EQ(r->src_aid, 4294967295u);
  EXPECT_EQ(r->registry_root, "/tmp/r");

  // null is "not given" for the nullable fields; an empty root stays an empty string.
  r = run_req(reader, R"({"raw_input":"x","src_aid":null,"registry_root":""})");
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->src_aid);
  EXPECT_EQ(r->registry_root, "");

  // Keys and values are compared and handed over with their escapes resolved.
  r = run_req(reader, R"({"raw\u005finput":"a\nb\u00e9\"","src_aid":0})");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->raw_input, "a\nb\xC3\xA9\"");
  EXPECT_EQ(r->src_aid, 0u);
}

TEST(Record, ReadsArraysAsFieldValuesInOrder) {
  Reader reader;
  auto r = run_req(reader, R"([5,"x"])");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->ctx_id, 5u);
  EXPECT_EQ(r->raw_input, "x");
  EXPECT_FALSE(r->src_aid);

  r = run_req(reader, R"([5,"x","full_packet",7,"/r"])");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->strategy, "full_packet");
  EXPECT_EQ(r->src_aid, 7u);
  EXPECT_EQ(r->registry_root, "/r");

  auto d = read_record(reader, R"([0,"QQ==",null])", kFusionDecompressReq);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->packet_b64, "QQ==");
  EXPECT_FALSE(d->registry_root);
}

// Each text is a whole request; the note says which rule rejects or admits it.
TEST(Record, AcceptsAndRejectsByTheRecordRules) {
  static const struct { std::string_view text; bool ok; const char* why; } kCases[] = {
      {R"({"raw_input":"x","zz":{"a":[1,{"b":null}],"c":"\ud83d\ude00"}})", true, "unknown key, any value"},
      {R"({"zz":1,"zz":2,"raw_input":"x"})", false, "unknown key given twice"},
      {R"({"zz":1,"raw_input":"x","zy":{"zz":1,"zz":2}})", true, "repeats inside a skipped value"},
      {R"({"a":0,"b":0,"c":0,"d":0,"e":0,"f":0,"g":0,"h":0,"i":0,"raw_input":"x"})", true, "nine unknown keys"},
      {R"({"a":0,"b":0,"c":0,"d":0,"e":0,"f":0,"g":0,"h":0,"i":0,"raw_input":"x","a":[]})", false,
       "an unknown key given twice among many"},
      {R"({"raw_input":"x","ctx_id":01})", false, "leading zero"},
      {R"({"raw_input":"x","ctx_id":1x})", false, "letters after a number"},
      {R"({"raw_input":"x","zz":tru})", false, "cut literal"},
      {R"({"raw_input":"x","zz":nulls})", false, "literal run on"},
      {"{\"raw_input\":\"a\tb\"}", false, "control character in a string"},
      {R"({"raw_input":"x" "ctx_id":1})", false, "no comma"},
      {R"({"raw_input":"x",,"ctx_id":1})", false, "two commas"},
      {R"({"raw_input":"x")", false, "unclosed object"},
      {R"({"raw_input":"x)", false, "unclosed string"},
      {" \t\r\n{\"raw_input\":\"x\"}\n\r\t ", true, "JSON white space around the value"},
      {R"({"raw_input":"x","ctx_id":-0})", true, "-0 is the integer 0"},
      {R"({"raw_input":"x","raw_input":"x"})", false, "field given twice"},
      {R"({"ctx_id":1,"raw_input":"x","ctx_id":1})", false, "field given twice"},
      {R"({"ctx_id":1})", false, "required field missing"},
      {R"({})", false, "required field missing"},
      {R"({"raw_input":null})", false, "null for a string field"},
      {R"({"raw_input":1})", false, "number for a string field"},
      {R"({"raw_input":"x","strategy":null})", false, "null for a non-nullable field"},
      {R"({"raw_input":"x","ctx_id":null})", false, "null for a non-nullable field"},
      {R"({"raw_input":"x","ctx_id":"1"})", false, "string for an integer field"},
      {R"({"raw_input":"x","ctx_id":-1})", false, "negative integer"},
      {R"({"raw_input":"x","ctx_id":1.0})", false, "fraction"},
      {R"({"raw_input":"x","ctx_id":1e2})", false, "exponent"},
      {R"({"raw_input":"x","ctx_id":true})", false, "boolean for an integer field"},
      {R"({"raw_input":"x","ctx_id":18446744073709551616})", false, "beyond 64 bits"},
      {R"({"raw_input":"x","src_aid":4294967296})", false, "beyond 32 bits"},
      {R"({"raw_input":"x","src_aid":-1})", false, "negative integer"},
      {R"({"raw_input":"x","registry_root":5})", false, "number for a nullable string"},
      {R"({"raw_input":"x","zz":18446744073709551616})", false, "known parser limit: huge integer"},
      {R"({"raw_input":"x","zz":1e400})", false, "known parser limit: huge double"},
      {R"([5,"x","",null,null,1])", false, "more values than fields"},
      {R"([5])", false, "required field missing"},
      {R"([])", false, "required field missing"},
      {R"(["x"])", false, "array values are positional: ctx_id first"},
      {R"([5,"x",null])", false, "null for a non-nullable field"},
      {R"("x")", false, "neither object nor array"},
      {R"(null)", false, "neither object nor array"},
      {R"({"raw_input":"x"} x)", false, "bytes after the value"},
      {R"({"raw_input":"x"}{})", false, "second value"},
      {"{\"raw_input\":\"x\"}\f", false, "form feed is not JSON white space"},
      {std::string_view("{\"raw_input\":\"x\"}\0", 18), false, "NUL after the value"},
      {"\xEF\xBB\xBF{\"raw_input\":\"x\"}", false, "byte order mark"},
      {"{\"raw_input\":\"\xC3\"}", false, "invalid UTF-8 in a field"},
      {"{\"raw_input\":\"x\",\"zz\":\"\xED\xA0\x80\"}", false, "invalid UTF-8 in a skipped value"},
      {R"({"raw_input":"x",})", false, "trailing comma"},
      {R"({'raw_input':"x"})", false, "single quotes"},
      {"", false, "empty text"},
      {"   ", false, "only white space"},
  };
  Reader reader;
  for (const auto& c : kCases)
    EXPECT_EQ(run_req(reader, c.text).has_value(), c.ok) << c.why << ": " << c.text;
}

std::string nested_request(int levels, std::string_view innermost) {
  std::string text = R"({"raw_input":"x","zz":)";
  for (int i = 0; i < levels; ++i) text += i % 2 ? R"({"k":)" : "[";
  text += innermost;
  for (int i = levels - 1; i >= 0; --i) text += i % 2 ? "}" : "]";
  return text + "}";
}

// The record itself is one level, so a skipped value may nest 127 more; an empty innermost
// container counts as a level like any other.
TEST(Record, NestingDeeperThan128LevelsIsRejected) {
  Reader reader;
  for (std::string_view innermost : {"1", "[]", "{}", R"("[[[[{{{{")"}) {
    const int inner_levels = innermost == "[]" || innermost == "{}" ? 1 : 0;
    const int fits = 127 - inner_levels;
    EXPECT_TRUE(run_req(reader, nested_request(fits, innermost))) << innermost;
    EXPECT_FALSE(run_req(reader, nested_request(fits + 1, innermost))) << innermost;
  }
  EXPECT_FALSE(reader.parse(std::string_view()));
  std::string deep(128, '[');
  deep += std::string(128, ']');
  EXPECT_TRUE(reader.parse(deep));
  EXPECT_FALSE(reader.parse("[" + deep + "]"));
}

// A request keeps its string views while something it calls parses another text on the same
// thread (a registry file, say).
TEST(Record, NestedReadersOnOneThreadKeepTheirDocuments) {
  Reader outer;
  const auto r = read_record_parsed(outer, R"({"raw_input":"outer text","registry_root":"/outer"})", kFusionRunReq);
  ASSERT_TRUE(r);
  for (int i = 0; i < 3; ++i) {
    Reader inner;
    const auto d = read_record_parsed(inner, R"({"packet_b64":"inner text, longer than the first"})",
                               kFusionDecompressReq);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->packet_b64, "inner text, longer than the first");
  }
  EXPECT_EQ(r->raw_input, "outer text");
  EXPECT_EQ(r->registry_root, "/outer");
}

TEST(Record, ReadersOnManyThreads) {
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &good] {
      for (int i = 0; i < 500; ++i) {
        Reader reader;
        const std::string text = R"({"ctx_id":)" + std::to_string(t * 1000 + i) + R"(,"raw_input":"r"})";
        const auto r = run_req(reader, text);
        if (r && r->ctx_id == static_cast<std::uint64_t>(t * 1000 + i)) ++good;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good.load(), 2000);
}

bool same(const std::optional<FusionRunReq>& a, const std::optional<FusionRunReq>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || (a->ctx_id == b->ctx_id && a->raw_input == b->raw_input && a->strategy == b->strategy &&
                a->src_aid == b->src_aid && a->registry_root == b->registry_root);
}

// The direct reader of plain requests reads every text as the parsing reader does: random
// requests of known and unknown keys, values of every JSON kind, escapes, odd numbers and
// white space, some of them with one byte changed.
TEST(Record, PlainRequestsReadAsParsed) {
  const unsigned seed = std::random_device{}();
  std::printf("seed %u\n", seed);
  std::mt19937 rng(seed);
  const std::vector<std::string> keys = {"ctx_id", "raw_input", "strategy", "src_aid", "registry_root",
                                         "zz", "Raw_input", "ctx\\u005fid", "", "\xC3\xA9"};
  const std::vector<std::string> values = {
      "\"x\"", "\"\"", "\"42;n.s.AAAAAAAA|r>s.u:1|\"", "\"a\\\"b\"", "\"\\u0034\"", "\"\xF0\x9F\x98\x80\"",
      "0", "7", "01", "-1", "-0", "1.5", "1e2", "4294967295", "4294967296", "18446744073709551615",
      "18446744073709551616", "9999999999999999999", "true", "false", "null", "[]", "{}", "[1,{\"a\":2}]",
      "nul", "\"\x01\""};
  const std::vector<std::string> spaces = {"", "", " ", "\t", "\r\n"};
  const auto pick = [&](const std::vector<std::string>& from) { return from[rng() % from.size()]; };
  int plain = 0;
  Reader reader;
  for (int i = 0; i < 20000; ++i) {
    std::string text = pick(spaces);
    text += '{';
    // Half of them of the common shape: the fields with values of their types, in any order.
    std::vector<std::pair<std::string, std::string>> members;
    if (i % 2 == 0) {
      members = {{"raw_input", pick({"\"x\"", "\"42;n.s.AAAAAAAA|r>s.u:1|\"", "\"\""})},
                 {"ctx_id", pick({"0", "7", "18446744073709551615", "1234567890123456789"})},
                 {"src_aid", pick({"null", "4294967295", "9"})},
                 {"registry_root", pick({"null", "\"/tmp/r\""})},
                 {"strategy", pick({"\"full\"", "\"\""})},
                 {"zz", pick(values)}};
      std::shuffle(members.begin(), members.end(), rng);
      members.resize(1 + rng() % members.size());
    } else {
      for (int m = static_cast<int>(rng() % 5); m > 0; --m) members.emplace_back(pick(keys), pick(values));
    }
    for (std::size_t m = 0; m < members.size(); ++m) {
      if (m > 0) text += ',';
      for (const std::string& piece : {pick(spaces), std::string("\""), members[m].first, std::string("\""),
                                       pick(spaces), std::string(":"), pick(spaces), members[m].second, pick(spaces)})
        text += piece;
    }
    text += '}';
    text += pick(spaces);
    if (rng() % 4 == 0) text[rng() % text.size()] = "{}[]\",:\\ 0a\x80"[rng() % 12];
    const auto general = read_record_parsed(reader, text, kFusionRunReq);
    FusionRunReq direct;
    if (kFusionRunReq.read_plain(text, direct)) {
      ++plain;
      ASSERT_TRUE(same(direct, general)) << "seed " << seed << ": " << text;
    }
    ASSERT_TRUE(same(read_record(reader, text, kFusionRunReq), general)) << "seed " << seed << ": " << text;
  }
  EXPECT_GT(plain, 2000) << "the direct reader answers the common shape";
}

}  // namespace
}  // namespace vm::json
