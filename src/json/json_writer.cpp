#include "json/json_writer.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "support/fault.h"

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

}  // namespace

void append_string(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out.push_back('"');
  std::size_t run = 0;  // start of the bytes not yet copied
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char escape = kEscape[static_cast<unsigned char>(text[i])];
    if (escape == 0) [[likely]]
      continue;
    out.append(text.data() + run, i - run);
    run = i + 1;
    out.push_back('\\');
    out.push_back(escape);
    if (escape == 'u') {
      constexpr char kHex[] = "0123456789abcdef";
      const auto byte = static_cast<unsigned char>(text[i]);
      out.append("00");
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xF]);
    }
  }
  out.append(text.data() + run, text.size() - run);
  out.push_back('"');
}

void append_int(std::string& out, std::int64_t value) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

void append_uint(std::string& out, std::uint64_t value) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

void append_double(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out.append("null");
    return;
  }
  if (std::signbit(value)) out.push_back('-');
  value = std::fabs(value);
  if (value == 0) {
    out.append("0.0");
    return;
  }
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

  char text[40];
  char* w = text;
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
    w = std::to_chars(w, text + sizeof text, std::abs(exponent)).ptr;
  }
  out.append(text, w);
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
