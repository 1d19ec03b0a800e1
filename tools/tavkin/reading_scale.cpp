#include "reading_scale.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace tavkin {
namespace {

constexpr double kLibraryScale = 10000.0;

// A JSON number as the receiver writes them: shortest digits that read back, and a ".0"
// on whole numbers so that the value stays a float.
void append_number(std::string& out, double value) {
  char buf[64];
  const auto end = std::to_chars(buf, buf + sizeof buf, value).ptr;
  const std::string_view text(buf, static_cast<std::size_t>(end - buf));
  out += text;
  if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The length of the member key "s<digits>_v" followed by ":" at `at` (which holds '"'),
// or 0.
std::size_t reading_value_key(std::string_view json, std::size_t at) {
  std::size_t i = at + 1;
  if (i >= json.size() || json[i] != 's') return 0;
  const std::size_t digits = ++i;
  while (i < json.size() && is_digit(json[i])) ++i;
  if (i == digits || json.compare(i, 4, "_v\":") != 0) return 0;
  return i + 4 - at;
}

}  // namespace

double scaled_value(std::int64_t n, int precision) {
  // strtod of the decimal "n e-p" is the correctly rounded quotient.
  const std::string decimal = std::to_string(n) + "e" + std::to_string(-precision);
  return std::strtod(decimal.c_str(), nullptr);
}

std::optional<std::int64_t> ten_thousandths_integer(double value) {
  if (!std::isfinite(value) || std::fabs(value) * kLibraryScale > 9007199254740992.0) return std::nullopt;
  const auto n = static_cast<std::int64_t>(std::llround(static_cast<long double>(value) * kLibraryScale));
  if (static_cast<double>(n) / kLibraryScale != value) return std::nullopt;
  return n;
}

std::string rescale_readings(std::string_view json, int precision) {
  std::string out;
  out.reserve(json.size() + 16);
  std::size_t copied = 0;
  // An unescaped quote after "{" or "," starts a key: inside strings quotes are escaped.
  for (std::size_t at = json.find('"'); at != std::string_view::npos; at = json.find('"', at + 1)) {
    if (at == 0 || (json[at - 1] != '{' && json[at - 1] != ',')) continue;
    const std::size_t key = reading_value_key(json, at);
    if (key == 0) continue;
    const std::size_t number = at + key;
    std::size_t end = number;
    while (end < json.size() && json[end] != ',' && json[end] != '}') ++end;
    double value = 0;
    const auto [ptr, ec] = std::from_chars(json.data() + number, json.data() + end, value);
    if (ec != std::errc() || ptr != json.data() + end) continue;
    const auto n = ten_thousandths_integer(value);
    if (!n) continue;
    out.append(json, copied, number - copied);
    append_number(out, scaled_value(*n, precision));
    copied = end;
    at = end - 1;
  }
  out.append(json, copied);
  return out;
}

}  // namespace tavkin
