#include "compressor/compress_fact.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <string_view>

#include "compressor/code_cache.h"
#include "compressor/compressor_table.h"
#include "compressor/fact_record.h"
#include "compressor/text_out.h"
#include "compressor/timestamp_code.h"
#include "compressor/unit_code.h"
#include "compressor/value_encoding.h"
#include "wire/base62.h"
#include "wire/base64.h"

namespace vm {
namespace {

constexpr std::string_view kDroppedUrlScheme = "https://";

void write_header(TextOut& out, const FactCompressor& c, const FactHeader& fact) {
  out.append(fact.id);
  out.room(1);
  out.put('.');
  t_codes.write_state(out, c, fact.state);
  out.room(2 + kTimestampCodeLength);
  out.put('.');
  out.advance(write_timestamp_code(out.cursor(), timestamp_48(fact.timestamp, c.ms_timestamps)));
  out.put('|');
}

void write_reading(TextOut& out, const FactCompressor& c, const SensorReadingView& r) {
  out.append(r.id);
  out.room(1);
  out.put('>');
  t_codes.write_state_and_unit(out, c, r.state, r.unit);
  out.room(2 + kMaxBase62Length);
  out.put(':');
  out.advance(write_value_code(out.cursor(), r.value, c.scale, Scaling::scaled));
  out.put('|');
}

void write_base64url(TextOut& out, std::string_view bytes) {
  out.room(base64_encoded_size(bytes.size(), Base64::url));
  out.advance(write_base64(out.cursor(), bytes, Base64::url));
}

void write_trailers(TextOut& out, const FactTrailers& t) {
  if (t.geohash) {
    out.room(t.geohash->size() + 2);
    out.put('&');
    out.put(*t.geohash);
    out.put('|');
  }
  if (t.url) {
    std::string_view url = *t.url;
    if (url.starts_with(kDroppedUrlScheme)) url.remove_prefix(kDroppedUrlScheme.size());
    out.room(1);
    out.put('#');
    write_base64url(out, url);
    out.room(1);
    out.put('|');
  }
  if (t.msg) {
    // The message is last and has no closing bar.
    out.room(1);
    out.put('@');
    write_base64url(out, *t.msg);
  }
}

// Writes each part as soon as it has been read; false at the first malformed part.
[[nodiscard]] bool write_fact(TextOut& out, const FactCompressor& c, FactRecordReader& record) {
  const auto header = record.header();
  if (!header) return false;
  // Room for a typical fact up front, for no more readings than the bytes can hold
  // whatever count the record declares.
  const std::size_t readings = std::min<std::size_t>(header->reading_count, record.readings_room());
  out.room(256 + 24 * readings);

  write_header(out, c, *header);
  for (std::uint32_t i = 0; i < header->reading_count; ++i) {
    const auto reading = record.next_reading();
    if (!reading) return false;
    write_reading(out, c, *reading);
  }
  const auto trailers = record.trailers();
  if (!trailers) return false;
  write_trailers(out, *trailers);
  return true;
}

}  // namespace

bool compress_fact(const FactCompressor& compressor, ByteSpan record, std::string& out) {
  const std::size_t before = out.size();
  FactRecordReader reader(record);
  bool written;
  {
    TextOut text(out);
    written = write_fact(text, compressor, reader);
  }
  if (!written) out.resize(before);
  return written;
}

bool compress_fact_with_handle(std::uint64_t handle, ByteSpan record, std::string& out) {
  const auto compressor = acquire_compressor(handle);
  return compressor && compress_fact(*compressor, record, out);
}

}  // namespace vm
