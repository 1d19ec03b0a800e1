// Parts of the request path, to show where a request's time goes: reading a run request
// record; the decompress answer of the worked example through the general ordered object
// and through the request's own path (fact read into members, written in key order); one
// double.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bench_util.h"
#include "json/json_writer.h"
#include "json/object_builder.h"
#include "json/record.h"
#include "requests/compact_fact_json.h"
#include "requests/decompress_answer.h"

namespace bench {
namespace {

using namespace vm;

struct RunRequest {
  std::uint64_t ctx_id = 0;
  std::string_view raw_input;
  std::string_view strategy;
  std::optional<std::uint32_t> src_aid;
  std::optional<std::string_view> registry_root;
};

constexpr auto kRunRequest = json::Record{
    json::field("ctx_id", &RunRequest::ctx_id),
    json::required("raw_input", &RunRequest::raw_input),
    json::field("strategy", &RunRequest::strategy),
    json::field("src_aid", &RunRequest::src_aid),
    json::field("registry_root", &RunRequest::registry_root),
}.any_key_once();

// 146 bytes, the size of a typical run request.
constexpr std::string_view kRequest =
    R"({"ctx_id":42,"raw_input":"305419896;node7.1.AYvP5WgA|t1>0.c1:yG|h>0.m/s2:q0U|d>0.1,km:-c|",)"
    R"("src_aid":null,"registry_root":"/var/lib/tavkin/reg/a"})";
static_assert(kRequest.size() == 146);

void BM_ReadRunRequest(benchmark::State& state) {
  CaseCounters counters(state);
  for (auto _ : state) {
    json::Reader reader;
    auto request = json::read_record(reader, kRequest, kRunRequest);
    benchmark::DoNotOptimize(request);
  }
}
BENCHMARK(BM_ReadRunRequest)->Name("part/json_read_run_request");

// The same request through the parsed document only: what the direct reader saves.
void BM_ReadRunRequestParsed(benchmark::State& state) {
  CaseCounters counters(state);
  for (auto _ : state) {
    json::Reader reader;
    auto request = json::read_record_parsed(reader, kRequest, kRunRequest);
    benchmark::DoNotOptimize(request);
  }
}
BENCHMARK(BM_ReadRunRequestParsed)->Name("part/json_read_run_request_parsed");

void BM_WriteDecompressAnswer(benchmark::State& state) {
  json::ObjectBuilder answer, meta;
  std::string out;
  CaseCounters counters(state);
  for (auto _ : state) {
    answer.clear();
    meta.clear();
    out.clear();
    answer.add_string("id", "node7");
    answer.add_string("s", "1");
    answer.add_uint("t_raw", 1700000000000);
    answer.add_string("s1_id", "t1");
    answer.add_string("s1_s", "0");
    answer.add_string("s1_u", "c1");
    answer.add_double("s1_v", 0.215);
    answer.add_string("s2_id", "h");
    answer.add_string("s2_s", "0");
    answer.add_string("s2_u", "m/s2");
    answer.add_double("s2_v", 10.0);
    answer.add_string("s3_id", "d");
    answer.add_string("s3_s", "0");
    answer.add_string("s3_u", "1,km");
    answer.add_double("s3_v", -0.0012);
    answer.add_string("geohash", "hi");
    answer.add_string("url", "https://s1");
    answer.add_string("msg", "xyz");
    meta.add_uint("base_cmd", 63);
    meta.add_uint("cmd", 63);
    meta.add_bool("crc16_ok", true);
    meta.add_bool("secure", false);
    meta.add_uint("source_aid", 305419896);
    meta.add_uint("tid", 24);
    meta.add_uint("timestamp_raw", 1700000000000);
    answer.add_object("__packet_meta__", meta);
    answer.write(out);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_WriteDecompressAnswer)->Name("part/json_write_decompress_answer");

// The decompress request's own answer path for the worked example: the compact fact read
// into its members, then written straight in key order (no general ordered object).
constexpr std::string_view kWorkedExample = "node7.1.AYvP5WgA|t1>0.c1:yG|h>0.m/s2:q0U|d>0.1,km:-c|&hi|#czE|@eHl6";

void BM_ReadCompactFact(benchmark::State& state) {
  CompactFactMembers fact;
  CaseCounters counters(state);
  for (auto _ : state) {
    read_compact_fact(kWorkedExample, fact);
    benchmark::DoNotOptimize(fact.readings.data());
  }
}
BENCHMARK(BM_ReadCompactFact)->Name("part/read_compact_fact");

void BM_WriteDirectAnswer(benchmark::State& state) {
  CompactFactMembers fact;
  read_compact_fact(kWorkedExample, fact);
  HeaderInfo header;
  header.cmd = header.base_cmd = 63;
  header.crc16_ok = true;
  header.source_aid = 305419896;
  header.tid = 24;
  header.timestamp_raw = 1700000000000;
  std::string out;
  CaseCounters counters(state);
  for (auto _ : state) {
    out.clear();
    append_decompress_answer(fact, header, out);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_WriteDirectAnswer)->Name("part/decompress_answer");

void BM_AppendDouble(benchmark::State& state) {
  std::string out;
  CaseCounters counters(state);
  for (auto _ : state) {
    out.clear();
    json::append_double(out, 0.215);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_AppendDouble)->Name("part/json_append_double");

}  // namespace
}  // namespace bench
