#include "compressor/decompose.h"

#include <cstdint>
#include <limits>

#include "wire/byte_reader.h"
#include "wire/utf8.h"

namespace vm {
namespace {

// Appends the segment's signature form and its values.
void take_segment(std::string_view segment, DecomposedFact& out) {
  const std::size_t gt = segment.find('>');
  if (gt != std::string_view::npos) {
    const std::string_view rest = segment.substr(gt + 1);
    const std::size_t colon = rest.rfind(':');
    if (colon != std::string_view::npos) {
      out.vals.push_back(rest.substr(0, colon));
      out.vals.push_back(rest.substr(colon + 1));
      out.sig += segment.substr(0, gt);
      out.sig += kReadingMark;
      return;
    }
  }
  out.sig += segment;  // geohash, url, msg and anything else without the reading shape
}

constexpr bool fits_u32(std::size_t n) noexcept {
  return n <= std::numeric_limits<std::uint32_t>::max();
}

}  // namespace

bool decompose(std::string_view text, DecomposedFact& out) {
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
  out.sig += header.substr(0, dot);
  out.sig += '.';
  out.sig += kTimestampMark;
  out.sig += '|';

  std::string_view body = text.substr(bar + 1);
  bool first = true;
  while (!body.empty()) {
    const std::size_t end = body.find('|');
    const std::string_view segment = body.substr(0, end);
    body.remove_prefix(end == std::string_view::npos ? body.size() : end + 1);
    if (segment.empty()) continue;
    if (!first) out.sig += '|';
    first = false;
    take_segment(segment, out);
  }
  out.sig += '|';
  return true;
}

bool append_decomposition_record(std::string_view text, std::string& out) {
  if (!is_valid_utf8(text)) return false;
  thread_local DecomposedFact fact;  // keeps its buffers between calls on this thread
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
