#include "compressor/decompose_written.h"

#include <array>
#include <cstring>

#include "support/small_copy.h"

namespace vm {
namespace {

// The bytes that decomposition splits at, and ";" (the end of a routing prefix).
constexpr std::array<bool, 256> kSplitting = [] {
  std::array<bool, 256> t{};
  for (unsigned char c : {'|', '>', ':', ';'}) t[c] = true;
  return t;
}();

bool splits(const char* p, std::size_t from, std::size_t to) noexcept {
  bool any = false;
  for (std::size_t i = from; i < to; ++i) any |= kSplitting[static_cast<unsigned char>(p[i])];
  return any;
}

// True when the parts that the writer copied from the fact (ids, state and unit codes,
// geohash) hold no byte that decomposition would take for a separator, so that the
// separators it finds are exactly the recorded ones. Value codes, the timestamp code and
// the Base64url of url and msg cannot hold one.
bool plain(std::string_view text, const FactLayout& l) noexcept {
  const char* const p = text.data();
  // The prefix before the id ends at its first ";", which must be the prefix's own.
  if (l.start > 0 && (p[l.start - 1] != ';' || std::memchr(p, ';', l.start - 1) != nullptr)) return false;
  if (splits(p, l.start, l.ts_dot)) return false;
  for (const ReadingLayout& r : l.readings)
    if (splits(p, r.start, r.gt) || splits(p, r.gt + 1, r.colon)) return false;
  // The geohash is the only trailer written as it is.
  if (splits(p, l.trailers + 1, l.trailers + 1 + l.geohash)) return false;
  return true;
}

}  // namespace

bool decompose_written(std::string_view text, const FactLayout& l, DecomposedFact& out) {
  if (!plain(text, l)) return decompose(text, out);
  const char* const p = text.data();
  out.ts = text.substr(l.ts_dot + 1, l.header_bar - l.ts_dot - 1);
  out.vals.clear();
  // The header up to the timestamp, ".{TS}|", each reading as its id and the mark, the
  // trailers as written, and the closing bar (one more when the body is empty).
  const std::size_t trailers = text.size() - l.trailers;
  out.sig.resize(l.ts_dot - l.start + kTimestampField.size() + l.readings.size() * (8 + kReadingMark.size()) + trailers + 2);
  char* w = out.sig.data();
  copy_text(w, p + l.start, l.ts_dot - l.start);
  w += l.ts_dot - l.start;
  std::memcpy(w, kTimestampField.data(), kTimestampField.size());
  w += kTimestampField.size();
  for (const ReadingLayout& r : l.readings) {
    const std::size_t id = r.gt - r.start;
    if (static_cast<std::size_t>(out.sig.data() + out.sig.size() - w) < id + kReadingMark.size() + 1 + trailers + 2) {
      const std::size_t used = static_cast<std::size_t>(w - out.sig.data());
      out.sig.resize(2 * out.sig.size() + id + trailers);
      w = out.sig.data() + used;
    }
    copy_text(w, p + r.start, id);
    w += id;
    std::memcpy(w, kReadingMark.data(), kReadingMark.size());
    w += kReadingMark.size();
    *w++ = '|';
    out.vals.emplace_back(p + r.gt + 1, r.colon - r.gt - 1);
    out.vals.emplace_back(p + r.colon + 1, r.bar - r.colon - 1);
  }
  copy_text(w, p + l.trailers, trailers);
  w += trailers;
  if (l.msg || (l.readings.empty() && trailers == 0)) *w++ = '|';
  out.sig.resize(static_cast<std::size_t>(w - out.sig.data()));
  return true;
}

}  // namespace vm
