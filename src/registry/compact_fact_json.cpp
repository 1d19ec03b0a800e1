#include "registry/compact_fact_json.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "wire/base62.h"
#include "wire/base64.h"
#include "wire/utf8.h"

namespace vm {
namespace {

constexpr double kValueScale = 10000.0;

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

// Strict unpadded URL-safe Base64 into a per-thread buffer; nullopt when undecodable.
std::optional<std::string_view> decode_url(std::string_view text) {
  thread_local std::string bytes;
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

void add_header(std::string_view header, json::ObjectBuilder& out) {
  const std::size_t dot1 = header.find('.');
  if (dot1 == std::string_view::npos) return;
  out.add_string("id", header.substr(0, dot1));
  const std::string_view rest = header.substr(dot1 + 1);
  const std::size_t dot2 = rest.find('.');
  out.add_string("s", rest.substr(0, dot2));
  if (dot2 == std::string_view::npos) return;
  std::string_view ts = rest.substr(dot2 + 1);
  ts = ts.substr(0, ts.find('.'));
  const auto bytes = decode_url(ts);
  if (!bytes || bytes->size() < 6) return;
  std::uint64_t t = 0;
  for (int i = 0; i < 6; ++i) t = (t << 8) | static_cast<unsigned char>((*bytes)[i]);
  out.add_uint("t_raw", t);
}

// Adds the four members of reading number n; false when the segment is not a reading.
bool add_reading(std::string_view segment, unsigned n, json::ObjectBuilder& out) {
  const std::size_t gt = segment.find('>');
  if (gt == std::string_view::npos) return false;
  const std::string_view r = segment.substr(gt + 1);
  const std::size_t colon = r.rfind(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view l = r.substr(0, colon);
  const std::size_t dot = l.find('.');
  const std::string_view state = l.substr(0, dot);
  const std::string_view unit = dot == std::string_view::npos ? std::string_view() : l.substr(dot + 1);

  char key[24] = {'s'};
  // A plain variable, not a structured binding: clang 14 cannot capture those in a lambda.
  char* const end = std::to_chars(key + 1, key + 16, n).ptr;
  *end = '_';
  const auto member = [&](std::string_view suffix) {
    for (std::size_t i = 0; i < suffix.size(); ++i) end[1 + i] = suffix[i];
    return std::string_view(key, static_cast<std::size_t>(end + 1 - key) + suffix.size());
  };
  out.add_string(member("id"), segment.substr(0, gt));
  out.add_string(member("s"), state);
  out.add_string(member("u"), unit);
  out.add_double(member("v"), static_cast<double>(read_value_code(r.substr(colon + 1))) / kValueScale);
  return true;
}

void add_url(std::string_view encoded, json::ObjectBuilder& out) {
  const auto bytes = decode_url(encoded);
  if (!bytes || !is_valid_utf8(*bytes)) return;
  // The compressor drops only a leading "https://"; a text that still names its scheme
  // (http://, ftp://, ...) was sent whole and is answered as it is.
  if (starts_with_scheme(*bytes)) {
    out.add_string("url", *bytes);
    return;
  }
  thread_local std::string url;
  url.assign("https://");
  url.append(*bytes);
  out.add_string("url", url);
}

void add_msg(std::string_view encoded, json::ObjectBuilder& out) {
  // A fact rebuilt from a heartbeat or diff closes its msg segment with "|".
  if (!encoded.empty() && encoded.back() == '|') encoded.remove_suffix(1);
  const auto bytes = decode_url(encoded);
  if (!bytes || !is_valid_utf8(*bytes)) return;
  out.add_string("msg", *bytes);
}

}  // namespace

void compact_fact_to_json(std::string_view text, json::ObjectBuilder& out) {
  const std::size_t at = text.find('@');
  const std::string_view main = text.substr(0, at);

  std::size_t start = 0;
  unsigned reading = 1;
  bool header = true;
  while (true) {
    const std::size_t bar = main.find('|', start);
    const std::string_view segment = main.substr(start, bar == std::string_view::npos ? bar : bar - start);
    if (header) {
      add_header(segment, out);
      header = false;
    } else if (!segment.empty() && segment.front() == '&') {
      out.add_string("geohash", segment.substr(1));
    } else if (!segment.empty() && segment.front() == '#') {
      add_url(segment.substr(1), out);
    } else if (add_reading(segment, reading, out)) {
      ++reading;
    }
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }

  if (at != std::string_view::npos) {
    const std::string_view msg = text.substr(at + 1);
    add_msg(msg.substr(0, msg.find('@')), out);
  }
}

}  // namespace vm
