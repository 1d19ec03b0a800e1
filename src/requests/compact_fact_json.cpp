#include "requests/compact_fact_json.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "support/scratch.h"
#include "wire/base62.h"
#include "wire/base64.h"
#include "wire/utf8.h"

namespace vm {
namespace {

// Signed Base62 as the reader of values takes it: any fault, overflow included, reads as 0.
std::int64_t read_value_code(std::string_view v) noexcept {
  if (v.empty() || v == "-") return 0;
  const bool negative = v.front() == '-';
  if (negative) v.remove_prefix(1);
  std::int64_t value = 0;
  for (char c : v) {
    const int d = base62_digit(c);
    if (d < 0) return 0;
    if (value > (std::numeric_limits<std::int64_t>::max() - d) / 62) return 0;
    value = value * 62 + d;
  }
  return negative ? -value : value;
}

// Strict unpadded URL-safe Base64 into `bytes`; nullopt when undecodable.
std::optional<std::string_view> decode_url(std::string_view text, std::string& bytes) {
  bytes.clear();
  if (!decode_base64(text, Base64::url, bytes)) return std::nullopt;
  return std::string_view(bytes);
}

// A URI scheme and "://": a letter, then letters, digits, "+", "-" or ".".
bool starts_with_scheme(std::string_view text) noexcept {
  const std::size_t colon = text.find("://");
  if (colon == std::string_view::npos || colon == 0) return false;
  const auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (!alpha(text[0])) return false;
  for (std::size_t i = 1; i < colon; ++i) {
    const char c = text[i];
    if (!alpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

void add_header(std::string_view header, CompactFactMembers& out) {
  const std::size_t dot1 = header.find('.');
  if (dot1 == std::string_view::npos) return;
  out.id = header.substr(0, dot1);
  const std::string_view rest = header.substr(dot1 + 1);
  const std::size_t dot2 = rest.find('.');
  out.s = rest.substr(0, dot2);
  if (dot2 == std::string_view::npos) return;
  std::string_view ts = rest.substr(dot2 + 1);
  ts = ts.substr(0, ts.find('.'));
  const auto bytes = decode_url(ts, out.scratch);
  if (!bytes || bytes->size() < 6) return;
  std::uint64_t t = 0;
  for (int i = 0; i < 6; ++i) t = (t << 8) | static_cast<unsigned char>((*bytes)[i]);
  out.t_raw = t;
}

// Adds the next reading; false when the segment is not a reading.
bool add_reading(std::string_view segment, CompactFactMembers& out) {
  const std::size_t gt = segment.find('>');
  if (gt == std::string_view::npos) return false;
  const std::string_view r = segment.substr(gt + 1);
  const std::size_t colon = r.rfind(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view l = r.substr(0, colon);
  const std::size_t dot = l.find('.');
  const std::string_view state = l.substr(0, dot);
  const std::string_view unit = dot == std::string_view::npos ? std::string_view() : l.substr(dot + 1);
  const std::int64_t code = read_value_code(r.substr(colon + 1));
  out.readings.push_back({segment.substr(0, gt), state, unit, static_cast<double>(code) / kFactValueScale, code});
  return true;
}

void add_url(std::string_view encoded, CompactFactMembers& out) {
  const auto bytes = decode_url(encoded, out.scratch);
  if (!bytes || !is_valid_utf8(*bytes)) return;
  // The compressor drops only a leading "https://"; a text that still names its scheme
  // (http://, ftp://, ...) was sent whole and is answered as it is.
  out.url_text.clear();
  if (!starts_with_scheme(*bytes)) out.url_text.assign("https://");
  out.url_text.append(*bytes);
  out.url = out.url_text;
}

void add_msg(std::string_view encoded, CompactFactMembers& out) {
  // A fact rebuilt from a heartbeat or diff closes its msg segment with "|".
  if (!encoded.empty() && encoded.back() == '|') encoded.remove_suffix(1);
  const auto bytes = decode_url(encoded, out.msg_text);
  if (!bytes || !is_valid_utf8(*bytes)) return;
  out.msg = *bytes;
}

// The key of a reading's member: "s", the reading's number, "_", the suffix.
std::string_view reading_key(char (&key)[24], std::size_t n, std::string_view suffix) noexcept {
  key[0] = 's';
  char* end = std::to_chars(key + 1, key + 16, n).ptr;
  *end++ = '_';
  for (char c : suffix) *end++ = c;
  return std::string_view(key, static_cast<std::size_t>(end - key));
}

}  // namespace

void clear_compact_fact(CompactFactMembers& out) noexcept {
  out.id.reset();
  out.s.reset();
  out.t_raw.reset();
  out.readings.clear();
  out.geohash.reset();
  out.url.reset();
  out.msg.reset();
}

void add_fact_segment(std::string_view segment, bool header, CompactFactMembers& out) {
  if (header) {
    add_header(segment, out);
  } else if (!segment.empty() && segment.front() == '&') {
    out.geohash = segment.substr(1);
  } else if (!segment.empty() && segment.front() == '#') {
    add_url(segment.substr(1), out);
  } else {
    (void)add_reading(segment, out);
  }
}

void add_fact_msg(std::string_view encoded, CompactFactMembers& out) { add_msg(encoded, out); }

std::int64_t read_fact_value_code(std::string_view v) noexcept { return read_value_code(v); }

double reading_value_at(const CompactFactReading& reading, int precision) noexcept {
  // Every power up to 10^18 is exact in a double.
  static constexpr double kPowersOfTen[kMaxPrecision + 1] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,
                                                             1e7,  1e8,  1e9,  1e10, 1e11, 1e12, 1e13,
                                                             1e14, 1e15, 1e16, 1e17, 1e18};
  if (precision < 0 || precision > kMaxPrecision) return reading.value;
  return static_cast<double>(reading.code) / kPowersOfTen[precision];
}

bool read_compact_fact(std::string_view text, CompactFactMembers& out) {
  clear_compact_fact(out);
  const std::size_t at = text.find('@');
  const std::string_view main = text.substr(0, at);

  std::size_t start = 0;
  bool header = true;
  while (true) {
    const std::size_t bar = main.find('|', start);
    add_fact_segment(main.substr(start, bar == std::string_view::npos ? bar : bar - start), header, out);
    header = false;
    if (out.readings.size() > kMaxFactReadings) [[unlikely]] {
      out.readings.clear();
      return false;
    }
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }

  if (at != std::string_view::npos) {
    const std::string_view msg = text.substr(at + 1);
    add_msg(msg.substr(0, msg.find('@')), out);
  }
  return true;
}

void compact_fact_to_json(std::string_view text, json::ObjectBuilder& out) {
  thread_local CompactFactMembers m;
  const ScratchRelease release(m.readings, m.url_text, m.msg_text, m.scratch);
  read_compact_fact(text, m);
  if (m.id) out.add_string("id", *m.id);
  if (m.s) out.add_string("s", *m.s);
  if (m.t_raw) out.add_uint("t_raw", *m.t_raw);
  char key[24];
  for (std::size_t i = 0; i < m.readings.size(); ++i) {
    const CompactFactReading& r = m.readings[i];
    out.add_string(reading_key(key, i + 1, "id"), r.id);
    out.add_string(reading_key(key, i + 1, "s"), r.state);
    out.add_string(reading_key(key, i + 1, "u"), r.unit);
    out.add_double(reading_key(key, i + 1, "v"), r.value);
  }
  if (m.geohash) out.add_string("geohash", *m.geohash);
  if (m.url) out.add_string("url", *m.url);
  if (m.msg) out.add_string("msg", *m.msg);
}

}  // namespace vm
