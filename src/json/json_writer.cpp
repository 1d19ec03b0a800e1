#include "json/json_writer.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "support/fault.h"
#include "support/small_copy.h"

namespace vm::json {
namespace {

// For each byte: 0 when written as it is, else the letter after the backslash ('u' for the
// \u00xx form).
constexpr std::array<char, 256> kEscape = [] {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 'u';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}();

// Bytes an escape adds to its byte: 1 for \x, 5 for \u00xx.
constexpr std::array<std::uint8_t, 256> kEscapeGrowth = [] {
  std::array<std::uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = kEscape[c] == 0 ? 0 : kEscape[c] == 'u' ? 5 : 1;
  return t;
}();

}  // namespace

std::size_t quoted_size(std::string_view text) noexcept {
  std::size_t size = text.size() + 2;
  for (char c : text) size += kEscapeGrowth[static_cast<unsigned char>(c)];
  return size;
}

char* write_quoted(char* w, std::string_view text, std::size_t quoted_size) noexcept {
  *w++ = '"';
  if (quoted_size == text.size() + 2) {
    if (!text.empty()) std::memcpy(w, text.data(), text.size());  // an empty view may be null
    w += text.size();
  } else {
    constexpr char kHex[] = "0123456789abcdef";
    for (char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      const char escape = kEscape[byte];
      if (escape == 0) {
        *w++ = c;
        continue;
      }
      *w++ = '\\';
      *w++ = escape;
      if (escape == 'u') {
        *w++ = '0';
        *w++ = '0';
        *w++ = kHex[byte >> 4];
        *w++ = kHex[byte & 0xF];
      }
    }
  }
  *w++ = '"';
  return w;
}

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighs = 0x8080808080808080ull;

// Whether some byte of the word is below 0x20, '"' or '\\' (exact: a borrow can only
// spread from a byte that already qualifies).
constexpr bool word_needs_escape(std::uint64_t w) noexcept {
  const std::uint64_t control = (w - 0x20 * kOnes) & ~w;
  const std::uint64_t quote = ((w ^ ('"' * kOnes)) - kOnes) & ~(w ^ ('"' * kOnes));
  const std::uint64_t backslash = ((w ^ ('\\' * kOnes)) - kOnes) & ~(w ^ ('\\' * kOnes));
  return ((control | quote | backslash) & kHighs) != 0;
}

// Whether the text is written without any escape, eight bytes at a time.
bool plain(std::string_view text) noexcept {
  const char* p = text.data();
  const std::size_t n = text.size();
  if (n < 8) {
    for (std::size_t i = 0; i < n; ++i)
      if (kEscape[static_cast<unsigned char>(p[i])] != 0) return false;
    return true;
  }
  std::uint64_t w;
  for (std::size_t i = 0; i + 8 <= n; i += 8) {
    std::memcpy(&w, p + i, 8);
    if (word_needs_escape(w)) return false;
  }
  std::memcpy(&w, p + n - 8, 8);  // the last bytes, overlapping the loop's words
  return !word_needs_escape(w);
}

// Short texts get room for the worst escaping (6 bytes per byte) without being measured.
constexpr std::size_t kUnmeasured = 256;

}  // namespace

std::size_t string_room(std::string_view text) noexcept {
  return text.size() <= kUnmeasured ? 6 * text.size() + 2 : quoted_size(text);
}

char* write_string(char* w, std::string_view text) noexcept {
  if (!plain(text)) return write_quoted(w, text, quoted_size(text));
  *w++ = '"';
  copy_text(w, text.data(), text.size());
  w += text.size();
  *w++ = '"';
  return w;
}

void append_string(std::string& out, std::string_view text) {
  // Sized first and written through a pointer: answers are made of many short strings,
  // where per-append bookkeeping would dominate.
  const std::size_t size = quoted_size(text);
  const std::size_t at = out.size();
  out.resize(at + size);
  write_quoted(out.data() + at, text, size);
}

char* write_int(char* out, std::int64_t value) noexcept {
  return std::to_chars(out, out + kMaxNumberSize, value).ptr;
}

char* write_uint(char* out, std::uint64_t value) noexcept {
  return std::to_chars(out, out + kMaxNumberSize, value).ptr;
}

void append_int(std::string& out, std::int64_t value) {
  char buf[kMaxNumberSize];
  out.append(buf, write_int(buf, value));
}

void append_uint(std::string& out, std::uint64_t value) {
  char buf[kMaxNumberSize];
  out.append(buf, write_uint(buf, value));
}

namespace {

// A positive number below 10^11 that is a whole number of ten-thousandths, n / 10^4 with
// n below 10^15 (the values of compact facts are read at that scale): writes it and
// returns the end, or null for any other number. The decimal n / 10^4 has at most 15
// significant digits and reads back as `value`; since two different decimals of 15 or
// fewer digits never read back as the same double, it is the shortest text there is.
char* write_ten_thousandths(char* w, double value) noexcept {
  constexpr double kScale = 10000.0;
  if (!(value < 1e11)) return nullptr;
  const auto n = static_cast<std::uint64_t>(value * kScale + 0.5);
  // Division is correctly rounded, so equality proves n / 10^4 reads back as `value`.
  if (n == 0 || static_cast<double>(n) / kScale != value) return nullptr;
  w = std::to_chars(w, w + kMaxNumberSize, n / 10000).ptr;
  *w++ = '.';
  auto fraction = static_cast<unsigned>(n % 10000);
  if (fraction == 0) {
    *w++ = '0';
    return w;
  }
  int digits = 4;
  while (fraction % 10 == 0) fraction /= 10, --digits;
  for (int i = digits - 1; i >= 0; --i, fraction /= 10) w[i] = static_cast<char>('0' + fraction % 10);
  return w + digits;
}

}  // namespace

// The longest texts are 24 bytes: "-1.2345678901234567e-308", "-0.000012345678901234567".
char* write_double(char* w, double value) noexcept {
  if (!std::isfinite(value)) {
    std::memcpy(w, "null", 4);
    return w + 4;
  }
  if (std::signbit(value)) *w++ = '-';
  value = std::fabs(value);
  if (value == 0) {
    std::memcpy(w, "0.0", 3);
    return w + 3;
  }
  if (char* end = write_ten_thousandths(w, value)) return end;
  // Shortest round-trip digits in scientific form: "d[.ddd]e[+-]xx".
  char sci[32];
  const char* const sci_end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
  char digits[20];
  int n = 0;
  const char* p = sci;
  for (; *p != 'e'; ++p)
    if (*p != '.') digits[n++] = *p;
  int exponent = 0;
  std::from_chars(p + (p[1] == '+' ? 2 : 1), sci_end, exponent);

  if (exponent >= -5 && exponent <= 15) {
    if (exponent < 0) {
      *w++ = '0';
      *w++ = '.';
      for (int i = 0; i < -exponent - 1; ++i) *w++ = '0';
      for (int i = 0; i < n; ++i) *w++ = digits[i];
    } else if (n <= exponent + 1) {
      for (int i = 0; i < n; ++i) *w++ = digits[i];
      for (int i = n; i < exponent + 1; ++i) *w++ = '0';
      *w++ = '.';
      *w++ = '0';
    } else {
      for (int i = 0; i <= exponent; ++i) *w++ = digits[i];
      *w++ = '.';
      for (int i = exponent + 1; i < n; ++i) *w++ = digits[i];
    }
  } else {
    *w++ = digits[0];
    if (n > 1) {
      *w++ = '.';
      for (int i = 1; i < n; ++i) *w++ = digits[i];
    }
    *w++ = 'e';
    *w++ = exponent < 0 ? '-' : '+';
    w = std::to_chars(w, w + 4, std::abs(exponent)).ptr;
  }
  return w;
}

void append_double(std::string& out, double value) {
  char buf[kMaxNumberSize];
  out.append(buf, write_double(buf, value));
}

void PrettyWriter::start_line() {
  const std::uint64_t bit = std::uint64_t{1} << depth_;
  if (nonempty_levels_ & bit) out_.push_back(',');
  nonempty_levels_ |= bit;
  out_.push_back('\n');
  out_.append(2 * std::size_t{depth_}, ' ');
}

void PrettyWriter::before_value() {
  if (after_key_) {
    after_key_ = false;
  } else if (depth_ > 0) {
    start_line();
  }
}

void PrettyWriter::key(std::string_view key) {
  VM_CHECK(depth_ > 0 && !after_key_);
  start_line();
  append_string(out_, key);
  out_.append(": ");
  after_key_ = true;
}

void PrettyWriter::string(std::string_view value) {
  before_value();
  append_string(out_, value);
}

void PrettyWriter::uint(std::uint64_t value) {
  before_value();
  append_uint(out_, value);
}

void PrettyWriter::open(char bracket) {
  before_value();
  out_.push_back(bracket);
  VM_CHECK(++depth_ < 64);
  nonempty_levels_ &= ~(std::uint64_t{1} << depth_);
}

void PrettyWriter::close(char bracket) {
  VM_CHECK(depth_ > 0 && !after_key_);
  const bool had_members = nonempty_levels_ & (std::uint64_t{1} << depth_);
  --depth_;
  if (had_members) {
    out_.push_back('\n');
    out_.append(2 * std::size_t{depth_}, ' ');
  }
  out_.push_back(bracket);
}

}  // namespace vm::json
