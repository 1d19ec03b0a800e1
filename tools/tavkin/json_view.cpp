// Independent JSON view of a compact fact; see json_view.h.
#include "json_view.h"

#include <limits>
#include <vector>

#include "codec.h"
#include "velmarinthos_tavkin.h"

namespace tavkin {
namespace {

int base62_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 36;
  return -1;
}

// Base62 with an optional "-"; anything unreadable, or beyond int64, reads as 0.
std::int64_t value_code(std::string_view text) {
  bool negative = false;
  if (!text.empty() && text.front() == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  std::int64_t n = 0;
  for (const char c : text) {
    const int d = base62_digit(c);
    if (d < 0) return 0;
    if (n > (std::numeric_limits<std::int64_t>::max() - d) / 62) return 0;
    n = n * 62 + d;
  }
  return negative ? -n : n;
}

// A URI scheme (RFC 3986: a letter, then letters, digits, "+", "-", ".") and "://".
bool starts_with_scheme(std::string_view text) {
  const size_t colon = text.find("://");
  if (colon == std::string_view::npos || colon == 0) return false;
  const auto is_alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (!is_alpha(text[0])) return false;
  for (size_t i = 1; i < colon; ++i) {
    const char c = text[i];
    if (!is_alpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

// Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict for a chain of
// operator+ that starts from a literal.
std::string key(size_t n, std::string_view suffix) {
  std::string k = "s";
  k += std::to_string(n);
  k += '_';
  k += suffix;
  return k;
}

void add_reading(JsonObject& view, size_t& n, std::string_view segment) {
  const size_t gt = segment.find('>');
  if (gt == std::string_view::npos) return;
  const std::string_view sensor = segment.substr(0, gt), rest = segment.substr(gt + 1);
  const size_t colon = rest.rfind(':');
  if (colon == std::string_view::npos) return;
  const std::string_view state_unit = rest.substr(0, colon), value = rest.substr(colon + 1);
  const size_t dot = state_unit.find('.');
  const std::string_view state = state_unit.substr(0, dot);
  const std::string_view unit = dot == std::string_view::npos ? std::string_view{} : state_unit.substr(dot + 1);
  view[key(n, "id")] = std::string(sensor);
  view[key(n, "s")] = std::string(state);
  view[key(n, "u")] = std::string(unit);
  view[key(n, "v")] = static_cast<double>(value_code(value)) / 10000.0;
  ++n;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    size_t len;
    std::uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > bytes.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto cc = static_cast<unsigned char>(bytes[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = cp << 6 | (cc & 0x3F);
    }
    const std::uint32_t min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min_for_len[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

std::string_view without_routing_prefix(std::string_view text) {
  const size_t semi = text.find(';');
  return semi == std::string_view::npos ? text : text.substr(semi + 1);
}

JsonObject compact_fact_view(std::string_view text) {
  JsonObject view;
  const size_t at = text.find('@');
  const std::string_view main = text.substr(0, at);

  std::vector<std::string_view> segments;
  for (size_t start = 0;;) {
    const size_t bar = main.find('|', start);
    segments.push_back(main.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start));
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }

  std::vector<std::string_view> header;
  for (size_t start = 0;;) {
    const size_t dot = segments[0].find('.', start);
    header.push_back(segments[0].substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  if (header.size() >= 2) {
    view["id"] = std::string(header[0]);
    view["s"] = std::string(header[1]);
  }
  if (header.size() >= 3) {
    const auto ts = base64_decode(header[2], Base64Alphabet::url);
    if (ts && ts->size() >= 6) {
      std::uint64_t raw = 0;
      for (size_t i = 0; i < 6; ++i) raw = raw << 8 | static_cast<unsigned char>((*ts)[i]);
      view["t_raw"] = raw;
    }
  }

  size_t n = 1;
  for (size_t i = 1; i < segments.size(); ++i) {
    const std::string_view seg = segments[i];
    if (!seg.empty() && seg.front() == '&') {
      view["geohash"] = std::string(seg.substr(1));
    } else if (!seg.empty() && seg.front() == '#') {
      const auto url = base64_decode(seg.substr(1), Base64Alphabet::url);
      if (url && is_valid_utf8(*url)) view["url"] = starts_with_scheme(*url) ? *url : "https://" + *url;
    } else {
      add_reading(view, n, seg);
    }
  }

  if (at != std::string_view::npos) {
    std::string_view msg = text.substr(at + 1);
    msg = msg.substr(0, msg.find('@'));
    // A rebuilt text closes the msg segment with "|"; that one bar is not part of it.
    if (!msg.empty() && msg.back() == '|') msg.remove_suffix(1);
    const auto bytes = base64_decode(msg, Base64Alphabet::url);
    if (bytes && is_valid_utf8(*bytes)) view["msg"] = *bytes;
  }
  return view;
}

JsonObject packet_meta_object(const PacketMeta& meta) {
  JsonObject obj;
  obj["base_cmd"] = std::uint64_t{vm_cmd_normalize_data(meta.cmd)};
  obj["cmd"] = std::uint64_t{meta.cmd};
  obj["crc16_ok"] = meta.crc16_ok;
  obj["secure"] = vm_cmd_normalize_data(meta.cmd) != meta.cmd;
  obj["source_aid"] = std::uint64_t{meta.source_aid};
  obj["tid"] = std::uint64_t{meta.tid};
  obj["timestamp_raw"] = meta.timestamp_raw;
  return obj;
}

std::string expected_decompress_answer(std::string_view text, const PacketMeta& meta) {
  JsonObject view = compact_fact_view(without_routing_prefix(text));
  view["__packet_meta__"] = RawJson{to_json(packet_meta_object(meta))};
  return to_json(view);
}

}  // namespace tavkin
