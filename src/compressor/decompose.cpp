#include "compressor/decompose.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "support/scratch.h"
#include "support/small_copy.h"
#include "wire/byte_reader.h"
#include "wire/utf8.h"

namespace vm {
namespace {

// Bit i is set when byte `from + i` of the text is "|", ">" or ":", the only bytes that
// decomposition looks at, for i below min(64, text size - from). Sixteen bytes at a time
// where SSE2 is there, never reading outside the text.
std::uint64_t separator_mask(std::string_view text, std::size_t from) noexcept {
  const char* const p = text.data();
  const std::size_t n = std::min<std::size_t>(64, text.size() - from);
  std::uint64_t mask = 0;
#ifdef __SSE2__
  const __m128i bar = _mm_set1_epi8('|');
  const __m128i gt = _mm_set1_epi8('>');
  const __m128i colon = _mm_set1_epi8(':');
  const auto hits = [&](const char* at) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i hit =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, bar), _mm_cmpeq_epi8(v, gt)), _mm_cmpeq_epi8(v, colon));
    return std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(hit))};
  };
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) mask |= hits(p + from + i) << i;
  if (i < n) {
    const std::size_t rest = n - i;
    if (text.size() >= 16) {
      // The sixteen bytes that end where the text or the block ends, shifted into place.
      mask |= (hits(p + from + n - 16) >> (16 - rest)) << i;
    } else {
      alignas(16) char tail[16] = {};
      for (std::size_t k = 0; k < rest; ++k) tail[k] = p[from + i + k];
      mask |= hits(tail) << i;
    }
  }
#else
  for (std::size_t i = 0; i < n; ++i) {
    const char c = p[from + i];
    if (c == '|' || c == '>' || c == ':') mask |= std::uint64_t{1} << i;
  }
#endif
  return mask;
}

// Writes the signature form of the body's segment [start, end) and takes its values: a
// segment with a ">" and a ":" after it is a reading (its id and the mark; the values
// before and after the last ":"); anything else (geohash, url, msg) is kept whole.
[[gnu::always_inline]] inline char* take_segment(const char* p, std::size_t start, std::size_t end, std::size_t gt, std::size_t colon,
                   char* w, DecomposedFact& out) {
  if (colon == std::string_view::npos) {
    copy_text(w, p + start, end - start);
    return w + (end - start);
  }
  copy_text(w, p + start, gt - start);
  w += gt - start;
  std::memcpy(w, kReadingMark.data(), kReadingMark.size());
  out.vals.emplace_back(p + gt + 1, colon - gt - 1);
  out.vals.emplace_back(p + colon + 1, end - colon - 1);
  return w + kReadingMark.size();
}

constexpr bool fits_u32(std::size_t n) noexcept {
  return n <= std::numeric_limits<std::uint32_t>::max();
}

}  // namespace

bool decompose(std::string_view text, DecomposedFact& out) {
  release_if_grown(out.sig, out.vals);  // a huge fact before does not stay on its thread
  out.ts = {};
  out.sig.clear();
  out.vals.clear();

  if (const std::size_t semi = text.find(';'); semi != std::string_view::npos)
    text.remove_prefix(semi + 1);
  const std::size_t bar = text.find('|');
  if (bar == std::string_view::npos) return false;
  const std::string_view header = text.substr(0, bar);
  const std::size_t dot = header.rfind('.');
  if (dot == std::string_view::npos) return false;
  out.ts = header.substr(dot + 1);

  // Room for the worst case: each body byte written at most twice (a reading of L bytes,
  // at least ">" and ":", becomes its id and the four mark bytes), and the closing bar.
  const std::string_view body = text.substr(bar + 1);
  out.sig.resize(dot + kTimestampField.size() + 2 * body.size() + 1);
  char* w = out.sig.data();
  copy_text(w, header.data(), dot);
  w += dot;
  std::memcpy(w, kTimestampField.data(), kTimestampField.size());
  w += kTimestampField.size();

  // One pass over the separators of the body, found 64 bytes at a time: per segment the
  // first ">" and the last ":" after it. Empty segments are skipped.
  const char* const p = body.data();
  const std::size_t n = body.size();
  constexpr std::size_t kNone = std::string_view::npos;
  std::size_t start = 0, gt = kNone, colon = kNone;
  bool first = true;
  for (std::size_t block = 0; block <= n; block += 64) {
    std::uint64_t mask = block < n ? separator_mask(body, block) : 0;
    // The end of the body closes the last segment like a bar.
    if (n - block < 64) mask |= std::uint64_t{1} << (n - block);
    for (; mask != 0; mask &= mask - 1) {
      const std::size_t i = block + static_cast<std::size_t>(__builtin_ctzll(mask));
      const char c = i < n ? p[i] : '|';
      if (c == '>') {
        if (gt == kNone) gt = i;
      } else if (c == ':') {
        if (gt != kNone) colon = i;
      } else {
        if (i > start) {
          if (!first) *w++ = '|';
          first = false;
          w = take_segment(p, start, i, gt, colon, w, out);
          if (out.vals.size() > 2 * kMaxFactReadings) [[unlikely]] {
            out.sig.clear();
            out.vals.clear();
            return false;
          }
        }
        start = i + 1;
        gt = colon = kNone;
      }
    }
  }
  *w++ = '|';
  out.sig.resize(static_cast<std::size_t>(w - out.sig.data()));
  return true;
}

bool append_decomposition_record(std::string_view text, std::string& out) {
  if (!is_valid_utf8(text)) return false;
  thread_local DecomposedFact fact;  // keeps its buffers between calls on this thread
  const ScratchRelease release(fact.sig, fact.vals);
  if (!decompose(text, fact)) return false;

  std::size_t size = 12 + fact.ts.size() + fact.sig.size();
  for (std::string_view v : fact.vals) {
    if (!fits_u32(v.size())) return false;
    size += 4 + v.size();
  }
  if (!fits_u32(fact.ts.size()) || !fits_u32(fact.sig.size()) || !fits_u32(fact.vals.size()))
    return false;

  out.reserve(out.size() + size);
  put_u32(out, static_cast<std::uint32_t>(fact.ts.size()));
  put_u32(out, static_cast<std::uint32_t>(fact.sig.size()));
  put_u32(out, static_cast<std::uint32_t>(fact.vals.size()));
  out += fact.ts;
  out += fact.sig;
  for (std::string_view v : fact.vals) {
    put_u32(out, static_cast<std::uint32_t>(v.size()));
    out += v;
  }
  return true;
}

}  // namespace vm
