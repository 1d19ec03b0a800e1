// A plain reference for the JSON view of a compact fact, written from the description of
// the view and independent of the library: splits with vectors of strings, decodes Base64
// and Base62 digit by digit, renders numbers and strings as the answer writer must, and
// keeps members in a std::map (byte order of keys). Slow on purpose; tests only.
#pragma once

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace requests {

inline std::vector<std::string_view> split_keep_empty(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == sep) {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

// Unpadded URL-safe Base64; any foreign character ("=" included), a lone last symbol or
// non-zero leftover bits fail.
inline std::optional<std::string> ref_decode_base64url(std::string_view text) {
  constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  if (text.size() % 4 == 1) return std::nullopt;
  std::string out;
  std::uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    const std::size_t v = kAlphabet.find(c);
    if (v == std::string_view::npos) return std::nullopt;
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>(acc >> bits));
      acc &= (1u << bits) - 1;
    }
  }
  if (acc != 0) return std::nullopt;
  return out;
}

inline bool ref_is_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    int len;
    std::uint32_t cp;
    if (c < 0x80) { ++i; continue; }
    if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; }
    else return false;
    if (i + len > s.size()) return false;
    for (int k = 1; k < len; ++k) {
      const unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = cp << 6 | (d & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

inline std::string ref_json_string(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case 0x08: out += "\\b"; break;
      case 0x09: out += "\\t"; break;
      case 0x0A: out += "\\n"; break;
      case 0x0C: out += "\\f"; break;
      case 0x0D: out += "\\r"; break;
      default:
        if (c < 0x20) {
          const char digits[] = "0123456789abcdef";
          out += "\\u00";
          out.push_back(digits[c >> 4]);
          out.push_back(digits[c & 15]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out + "\"";
}

// Fewest significant digits that read back; positional for decimal exponents -5 to 15
// (".0" on integral values), else d.ddde+X.
inline std::string ref_json_double(double v) {
  if (v == 0) return std::signbit(v) ? "-0.0" : "0.0";
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  const std::string sci(buf, res.ptr);
  const std::size_t e_at = sci.find('e');
  std::string mantissa = sci.substr(0, e_at);
  const int exponent = std::atoi(sci.c_str() + e_at + 1);
  std::string sign;
  if (mantissa[0] == '-') {
    sign = "-";
    mantissa.erase(0, 1);
  }
  std::string digits;
  for (char c : mantissa)
    if (c != '.') digits.push_back(c);
  if (exponent < -5 || exponent > 15) {
    std::string out = sign + digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    return out + (exponent < 0 ? "e-" : "e+") + std::to_string(std::abs(exponent));
  }
  if (exponent < 0) return sign + "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  const std::size_t int_digits = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= int_digits) return sign + digits + std::string(int_digits - digits.size(), '0') + ".0";
  return sign + digits.substr(0, int_digits) + "." + digits.substr(int_digits);
}

// Base62 with an optional "-"; anything foreign or beyond the signed 64-bit range reads 0.
inline std::int64_t ref_base62(std::string_view v) {
  constexpr std::string_view kAlphabet = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  if (v.empty() || v == "-") return 0;
  const bool negative = v[0] == '-';
  if (negative) v.remove_prefix(1);
  unsigned __int128 acc = 0;
  for (char c : v) {
    const std::size_t d = kAlphabet.find(c);
    if (d == std::string_view::npos) return 0;
    acc = acc * 62 + d;
    if (acc > static_cast<unsigned __int128>(INT64_MAX)) return 0;
  }
  const auto value = static_cast<std::int64_t>(acc);
  return negative ? -value : value;
}

using View = std::map<std::string, std::string>;  // key -> JSON text of the value

// The view of `text` (routing prefix already removed), with the two amendments: a msg
// text that ends in "|" loses that one "|", and a url that decodes to "scheme://..." is
// taken as it stands.
inline View reference_view(std::string_view text) {
  View view;
  const std::size_t at = text.find('@');
  const std::string_view main = text.substr(0, at);
  const auto segments = split_keep_empty(main, '|');

  const auto header = split_keep_empty(segments[0], '.');
  if (header.size() >= 2) {
    view["id"] = ref_json_string(header[0]);
    view["s"] = ref_json_string(header[1]);
  }
  if (header.size() >= 3) {
    if (const auto ts = ref_decode_base64url(header[2]); ts && ts->size() >= 6) {
      std::uint64_t t = 0;
      for (int i = 0; i < 6; ++i) t = t << 8 | static_cast<unsigned char>((*ts)[i]);
      view["t_raw"] = std::to_string(t);
    }
  }

  int n = 1;
  for (std::size_t k = 1; k < segments.size(); ++k) {
    const std::string_view seg = segments[k];
    if (!seg.empty() && seg[0] == '&') {
      view["geohash"] = ref_json_string(seg.substr(1));
    } else if (!seg.empty() && seg[0] == '#') {
      const auto url = ref_decode_base64url(seg.substr(1));
      if (!url || !ref_is_utf8(*url)) continue;
      bool has_scheme = false;
      if (const std::size_t sep = url->find("://"); sep != std::string::npos && sep > 0) {
        has_scheme = std::isalpha(static_cast<unsigned char>((*url)[0])) != 0;
        for (std::size_t i = 1; i < sep && has_scheme; ++i) {
          const unsigned char c = static_cast<unsigned char>((*url)[i]);
          has_scheme = c < 0x80 && (std::isalnum(c) || c == '+' || c == '-' || c == '.');
        }
      }
      view["url"] = ref_json_string(has_scheme ? *url : "https://" + *url);
    } else {
      const std::size_t gt = seg.find('>');
      if (gt == std::string_view::npos) continue;
      const std::string_view r = seg.substr(gt + 1);
      const std::size_t colon = r.rfind(':');
      if (colon == std::string_view::npos) continue;
      const std::string_view l = r.substr(0, colon);
      const std::size_t dot = l.find('.');
      const std::string key = "s" + std::to_string(n) + "_";
      view[key + "id"] = ref_json_string(seg.substr(0, gt));
      view[key + "s"] = ref_json_string(l.substr(0, dot));
      view[key + "u"] = ref_json_string(dot == std::string_view::npos ? std::string_view() : l.substr(dot + 1));
      view[key + "v"] = ref_json_double(static_cast<double>(ref_base62(r.substr(colon + 1))) / 10000.0);
      ++n;
    }
  }

  if (at != std::string_view::npos) {
    std::string_view msg = split_keep_empty(text.substr(at + 1), '@')[0];
    if (!msg.empty() && msg.back() == '|') msg.remove_suffix(1);
    if (const auto bytes = ref_decode_base64url(msg); bytes && ref_is_utf8(*bytes)) view["msg"] = ref_json_string(*bytes);
  }
  return view;
}

inline std::string render(const View& view) {
  std::string out = "{";
  for (const auto& [key, value] : view) {
    if (out.size() > 1) out += ",";
    out += ref_json_string(key) + ":" + value;
  }
  return out + "}";
}

// The header summary of a packet that passed its checks, as the answer carries it.
inline std::string packet_meta(std::string_view p, bool crc_ok = true) {
  const auto at = [&](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])); };
  const std::uint64_t cmd = at(0), c = at(1);
  const std::uint64_t base = (cmd == 64 || cmd == 128 || cmd == 171) ? cmd - 1 : cmd;
  std::uint64_t aid = 0;
  if (c > 0) aid = at(4 * c - 2) << 24 | at(4 * c - 1) << 16 | at(4 * c) << 8 | at(4 * c + 1);
  std::uint64_t ts = 0;
  for (std::size_t i = 0; i < 6; ++i) ts = ts << 8 | at(3 + 4 * c + i);
  return "{\"base_cmd\":" + std::to_string(base) + ",\"cmd\":" + std::to_string(cmd) +
         ",\"crc16_ok\":" + (crc_ok ? "true" : "false") + ",\"secure\":" + (base != cmd ? "true" : "false") +
         ",\"source_aid\":" + std::to_string(aid) + ",\"tid\":" + std::to_string(at(2 + 4 * c)) +
         ",\"timestamp_raw\":" + std::to_string(ts) + "}";
}

// The success answer for packet `p` whose fact text (routing prefix removed) is `text`.
inline std::string expected_answer(std::string_view p, std::string_view text) {
  View view = reference_view(text);
  view["__packet_meta__"] = packet_meta(p);
  return render(view);
}

}  // namespace requests
