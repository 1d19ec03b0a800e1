// The compact text of a fact, written part by part as a fact reader hands the parts over.
// A fact reader is any class with the shape of FactRecordReader: header(), then
// next_reading() reading_count times, then trailers(), each an optional that is empty when
// the part is missing or malformed, and readings_room(), an upper bound on the readings it
// can still give. The binary record is one reader; a host's own objects (the Python
// extension's dicts) are another, so facts reach the text without a record in between.
// Reads only the immutable compressor; safe on any thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "compressor/code_cache.h"
#include "compressor/fact_compressor.h"
#include "compressor/fact_layout.h"
#include "compressor/fact_record.h"
#include "compressor/text_out.h"
#include "compressor/timestamp_code.h"
#include "compressor/value_encoding.h"
#include "wire/base62.h"
#include "wire/base64.h"

namespace vm {
namespace fact_text {

inline constexpr std::string_view kDroppedUrlScheme = "https://";

// Records nothing: the layout of a text that nobody asks for.
struct NoLayout {
  void header(std::size_t, std::size_t, std::size_t) noexcept {}
  void reading(std::size_t, std::size_t, std::size_t, std::size_t) {}
  void trailers(std::size_t, std::size_t, bool) noexcept {}
};

// Records into a FactLayout.
struct LayoutOf {
  FactLayout& layout;
  void header(std::size_t start, std::size_t ts_dot, std::size_t bar) noexcept {
    layout.start = start;
    layout.ts_dot = ts_dot;
    layout.header_bar = bar;
  }
  void reading(std::size_t start, std::size_t gt, std::size_t colon, std::size_t bar) {
    layout.readings.push_back({start, gt, colon, bar});
  }
  void trailers(std::size_t start, std::size_t geohash, bool msg) noexcept {
    layout.trailers = start;
    layout.geohash = geohash;
    layout.msg = msg;
  }
};

template <class Layout>
inline void write_header(TextOut& out, const FactCompressor& c, const FactHeader& fact, Layout& layout) {
  const std::size_t start = out.size();
  out.append(fact.id);
  out.room(1);
  out.put('.');
  t_codes.write_state(out, c, fact.state);
  out.room(2 + kTimestampCodeLength);
  const std::size_t ts_dot = out.size();
  out.put('.');
  out.advance(write_timestamp_code(out.cursor(), timestamp_48(fact.timestamp, c.ms_timestamps)));
  layout.header(start, ts_dot, out.size());
  out.put('|');
}

template <class Layout>
inline void write_reading(TextOut& out, const FactCompressor& c, const SensorReadingView& r, Layout& layout) {
  const std::size_t start = out.size();
  out.append(r.id);
  out.room(1);
  const std::size_t gt = out.size();
  out.put('>');
  t_codes.write_state_and_unit(out, c, r.state, r.unit);
  out.room(2 + kMaxBase62Length);
  const std::size_t colon = out.size();
  out.put(':');
  out.advance(write_value_code(out.cursor(), r.value, c.scale, Scaling::scaled));
  layout.reading(start, gt, colon, out.size());
  out.put('|');
}

inline void write_base64url(TextOut& out, std::string_view bytes) {
  out.room(base64_encoded_size(bytes.size(), Base64::url));
  out.advance(write_base64(out.cursor(), bytes, Base64::url));
}

inline void write_trailers(TextOut& out, const FactTrailers& t) {
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
template <class Reader, class Layout = NoLayout>
[[nodiscard]] bool write_fact(TextOut& out, const FactCompressor& c, Reader& reader, Layout&& layout = {}) {
  const auto header = reader.header();
  if (!header) return false;
  // Room for a typical fact up front, for no more readings than the reader can give
  // whatever count it declares.
  const std::size_t readings = std::min<std::size_t>(header->reading_count, reader.readings_room());
  out.room(256 + 24 * readings);

  write_header(out, c, *header, layout);
  for (std::uint32_t i = 0; i < header->reading_count; ++i) {
    const auto reading = reader.next_reading();
    if (!reading) return false;
    write_reading(out, c, *reading, layout);
  }
  const auto trailers = reader.trailers();
  if (!trailers) return false;
  layout.trailers(out.size(), trailers->geohash ? trailers->geohash->size() : 0, trailers->msg.has_value());
  write_trailers(out, *trailers);
  return true;
}

}  // namespace fact_text

// Appends the compact text of the fact that `reader` gives to `out`, which may already
// hold a prefix. When the reader fails, returns false and leaves `out` as it was.
template <class Reader>
[[nodiscard]] bool compress_fact_from(const FactCompressor& compressor, Reader& reader, std::string& out) {
  const std::size_t before = out.size();
  bool written;
  {
    TextOut text(out);
    written = fact_text::write_fact(text, compressor, reader);
  }
  if (!written) out.resize(before);
  return written;
}

// The same, recording in `layout` where the parts of the text went.
template <class Reader>
[[nodiscard]] bool compress_fact_from(const FactCompressor& compressor, Reader& reader, std::string& out,
                                      FactLayout& layout) {
  layout.clear();
  const std::size_t before = out.size();
  bool written;
  {
    TextOut text(out);
    written = fact_text::write_fact(text, compressor, reader, fact_text::LayoutOf{layout});
  }
  if (!written) out.resize(before);
  return written;
}

}  // namespace vm
