// JSON writer; see json_text.h.
#include "json_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

namespace tavkin {

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          fmt::format_to(std::back_inserter(out), "\\u{:04x}", static_cast<unsigned>(c));
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

void append_json_number(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  if (std::signbit(value)) out += '-';
  value = std::fabs(value);
  if (value == 0) {
    out += "0.0";
    return;
  }
  // Shortest round-trip digits in scientific form, "d.ddde+XX", then laid out again.
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  (void)ec;
  const std::string_view sci(buf, static_cast<size_t>(end - buf));
  const size_t e_pos = sci.find('e');
  std::string digits(sci.substr(0, e_pos));
  if (digits.size() > 1) digits.erase(1, 1);  // drop the "."
  const int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());

  if (exponent > 15 || exponent < -5) {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += exponent < 0 ? "e-" : "e+";
    out += std::to_string(std::abs(exponent));
  } else if (exponent < 0) {
    out += "0.";
    out.append(static_cast<size_t>(-exponent - 1), '0');
    out += digits;
  } else {
    const size_t int_len = static_cast<size_t>(exponent) + 1;
    if (digits.size() <= int_len) {
      out += digits;
      out.append(int_len - digits.size(), '0');
      out += ".0";
    } else {
      out.append(digits, 0, int_len);
      out += '.';
      out.append(digits, int_len);
    }
  }
}

void append_json(std::string& out, const JsonObject& object) {
  out += '{';
  bool first = true;
  for (const auto& [key, value] : object) {
    if (!first) out += ',';
    first = false;
    append_json_string(out, key);
    out += ':';
    std::visit(
        [&out](const auto& v) {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<T, std::string>) {
            append_json_string(out, v);
          } else if constexpr (std::is_same_v<T, std::uint64_t>) {
            out += std::to_string(v);
          } else if constexpr (std::is_same_v<T, double>) {
            append_json_number(out, v);
          } else if constexpr (std::is_same_v<T, bool>) {
            out += v ? "true" : "false";
          } else {
            out += v.text;
          }
        },
        value);
  }
  out += '}';
}

std::string to_json(const JsonObject& object) {
  std::string out;
  append_json(out, object);
  return out;
}

}  // namespace tavkin
