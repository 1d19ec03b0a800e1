#include "compressor/compress_fact.h"

#include <string_view>

#include "compressor/compressor_table.h"
#include "compressor/fact_record.h"
#include "compressor/timestamp_code.h"
#include "compressor/unit_code.h"
#include "compressor/value_encoding.h"

namespace vm {
namespace {

constexpr std::string_view kDroppedUrlScheme = "https://";

void append_header(std::string& out, const FactCompressor& c, const FactRecordView& fact) {
  out += fact.id;
  out += '.';
  append_mapped(out, c.state_map, fact.state);
  out += '.';
  append_timestamp_code(out, timestamp_48(fact.timestamp, c.ms_timestamps));
  out += '|';
}

void append_reading(std::string& out, const FactCompressor& c, const SensorReadingView& r) {
  out += r.id;
  out += '>';
  append_mapped(out, c.state_map, r.state);
  out += '.';
  append_unit_code(out, r.unit, c.unit_map, c.scale);
  out += ':';
  append_value_code(out, r.value, c.scale, Scaling::scaled);
  out += '|';
}

void append_trailers(std::string& out, const FactRecordView& fact) {
  if (fact.geohash) {
    out += '&';
    out += *fact.geohash;
    out += '|';
  }
  if (fact.url) {
    std::string_view url = *fact.url;
    if (url.starts_with(kDroppedUrlScheme)) url.remove_prefix(kDroppedUrlScheme.size());
    out += '#';
    append_base64url(out, url);
    out += '|';
  }
  if (fact.msg) {
    // The message is last and has no closing bar.
    out += '@';
    append_base64url(out, *fact.msg);
  }
}

}  // namespace

bool compress_fact(const FactCompressor& compressor, ByteSpan record, std::string& out) {
  const auto fact = parse_fact_record(record);
  if (!fact) return false;

  // Room for a typical fact up front; the reading count is trusted only now that the
  // record has shown it holds that many readings.
  out.reserve(out.size() + 256 + std::size_t{24} * fact->readings.size());
  append_header(out, compressor, *fact);
  for (const SensorReadingView& reading : fact->readings) append_reading(out, compressor, reading);
  append_trailers(out, *fact);
  return true;
}

bool compress_fact_with_handle(std::uint64_t handle, ByteSpan record, std::string& out) {
  const auto compressor = acquire_compressor(handle);
  return compressor && compress_fact(*compressor, record, out);
}

}  // namespace vm
