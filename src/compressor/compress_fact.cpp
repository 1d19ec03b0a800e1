#include "compressor/compress_fact.h"

#include <algorithm>
#include <string_view>

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

// Unit codes depend only on the unit text, the unit map and the scale, and a fleet reports
// a handful of units over and over: each thread keeps the last codes it made, in a small
// table indexed by a hash of the unit, and makes a code anew only on a miss.
class UnitCodeCache {
 public:
  void write(TextOut& out, std::string_view unit, const CodeMap& unit_map, std::uint64_t scale) {
    if (unit.size() > kLongestUnit) {
      append_unit_code(out.string(), unit, unit_map, scale);
      out.resume();
      return;
    }
    Entry& e = entries_[slot(unit, unit_map.version(), scale)];
    if (e.map_version == unit_map.version() && e.scale == scale && e.unit == unit) {
      out.append(e.code);
      return;
    }
    std::string& text = out.string();
    const std::size_t start = text.size();
    append_unit_code(text, unit, unit_map, scale);
    e.map_version = unit_map.version();
    e.scale = scale;
    e.unit.assign(unit);
    e.code.assign(text, start);
    out.resume();
  }

 private:
  static constexpr std::size_t kEntries = 64;
  static constexpr std::size_t kLongestUnit = 48;

  struct Entry {
    std::uint64_t map_version = 0;
    std::uint64_t scale = 0;  // no compressor has scale 0, so a fresh entry never matches
    std::string unit, code;
  };

  static std::size_t slot(std::string_view unit, std::uint64_t version, std::uint64_t scale) noexcept {
    std::uint64_t h = 0xCBF29CE484222325ull ^ version ^ (scale << 32);  // FNV-1a
    for (char c : unit) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
    return (h ^ (h >> 29)) % kEntries;
  }

  Entry entries_[kEntries];
};

// The mapped form of a name: its code when the map has one, else the name itself.
void write_mapped(TextOut& out, const CodeMap& map, std::string_view name) {
  const std::string* code = map.find(name);
  out.append(code ? std::string_view(*code) : name);
}

void write_header(TextOut& out, const FactCompressor& c, const FactHeader& fact) {
  out.append(fact.id);
  out.room(1);
  out.put('.');
  write_mapped(out, c.state_map, fact.state);
  out.room(2 + kTimestampCodeLength);
  out.put('.');
  out.advance(write_timestamp_code(out.cursor(), timestamp_48(fact.timestamp, c.ms_timestamps)));
  out.put('|');
}

void write_reading(TextOut& out, const FactCompressor& c, const SensorReadingView& r) {
  thread_local UnitCodeCache unit_codes;
  out.append(r.id);
  out.room(1);
  out.put('>');
  write_mapped(out, c.state_map, r.state);
  out.room(1);
  out.put('.');
  unit_codes.write(out, r.unit, c.unit_map, c.scale);
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
