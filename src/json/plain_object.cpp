#include "json/plain_object.h"

#include <cstring>
#include <tuple>

#include "json/json_reader.h"
#include "wire/utf8.h"

namespace vm::json {
namespace {

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_literal(const char* p, const char* end, std::string_view word) noexcept {
  return static_cast<std::size_t>(end - p) >= word.size() && std::memcmp(p, word.data(), word.size()) == 0;
}

}  // namespace

void PlainObject::skip_space() noexcept {
  while (p_ != end_ && is_space(*p_)) ++p_;
}

bool PlainObject::open(std::string_view text) noexcept {
  // The general reader checks the whole text's UTF-8, skipped values included.
  if (text.size() > kMaxTextSize || !is_valid_utf8(text)) return false;
  p_ = text.data();
  end_ = p_ + text.size();
  first_ = true;
  skip_space();
  if (p_ == end_ || *p_ != '{') return false;
  ++p_;
  return true;
}

// A string without escapes or control characters; `p_` is at its opening quote. The
// closing quote is found with memchr and the bytes before it checked in one branch-free
// pass, which the compiler vectorizes.
bool PlainObject::string(std::string_view& out) noexcept {
  if (p_ == end_ || *p_ != '"') return false;
  const char* const start = p_ + 1;
  const auto* quote = static_cast<const char*>(std::memchr(start, '"', static_cast<std::size_t>(end_ - start)));
  if (quote == nullptr) return false;
  unsigned odd = 0;
  for (const char* q = start; q != quote; ++q) {
    const auto c = static_cast<unsigned char>(*q);
    odd |= static_cast<unsigned>(c == '\\') | static_cast<unsigned>(c < 0x20);
  }
  if (odd != 0) return false;
  out = std::string_view(start, static_cast<std::size_t>(quote - start));
  p_ = quote + 1;
  return true;
}

bool PlainObject::value(PlainValue& out) noexcept {
  if (p_ == end_) return false;
  const char c = *p_;
  if (c == '"') {
    out.kind = PlainValue::Kind::string;
    return string(out.text);
  }
  if (c >= '0' && c <= '9') {
    // JSON allows no leading zero; 20 digits may overflow, so at most 19 are plain.
    const char* const start = p_;
    std::uint64_t n = 0;
    while (p_ != end_ && *p_ >= '0' && *p_ <= '9') n = n * 10 + static_cast<std::uint64_t>(*p_++ - '0');
    const std::size_t digits = static_cast<std::size_t>(p_ - start);
    if (digits > 19 || (digits > 1 && *start == '0')) return false;
    if (p_ != end_ && (*p_ == '.' || *p_ == 'e' || *p_ == 'E')) return false;
    out.kind = PlainValue::Kind::uint;
    out.number = n;
    return true;
  }
  for (const auto& [word, kind, flag] : {std::tuple{std::string_view("true"), PlainValue::Kind::boolean, true},
                                         std::tuple{std::string_view("false"), PlainValue::Kind::boolean, false},
                                         std::tuple{std::string_view("null"), PlainValue::Kind::null, false}}) {
    if (is_literal(p_, end_, word)) {
      p_ += word.size();
      out.kind = kind;
      out.flag = flag;
      return true;
    }
  }
  return false;
}

PlainObject::Step PlainObject::next(std::string_view& key, PlainValue& value_out) noexcept {
  skip_space();
  if (p_ == end_) return Step::not_plain;
  if (*p_ == '}') {
    ++p_;
    skip_space();
    return p_ == end_ ? Step::end : Step::not_plain;
  }
  if (!first_) {
    if (*p_ != ',') return Step::not_plain;
    ++p_;
    skip_space();
  }
  first_ = false;
  if (!string(key)) return Step::not_plain;
  skip_space();
  if (p_ == end_ || *p_ != ':') return Step::not_plain;
  ++p_;
  skip_space();
  if (!value(value_out)) return Step::not_plain;
  // What follows a value must end it: a number directly followed by a letter is not JSON.
  if (p_ != end_ && !is_space(*p_) && *p_ != ',' && *p_ != '}') return Step::not_plain;
  return Step::member;
}

}  // namespace vm::json
