#include "requests/direct_fact.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <vector>

#include "compressor/decompose.h"
#include "wire/base64.h"
#include "wire/utf8.h"

namespace vm {
namespace {

constexpr char kValueSlot = '\x01';
constexpr std::size_t kTimestampSize = 8;
// Bounds on what the per-thread cache keeps: longer signatures are left to the reader.
constexpr std::size_t kMostLayouts = 1024;
constexpr std::size_t kLongestSignature = 1024;

// A stretch of the rebuilt text: signature bytes [begin, end), the timestamp text or one value.
struct Part {
  enum Kind : std::uint8_t { literal, timestamp, value } kind;
  std::uint32_t begin = 0, end = 0;  // literal: in the signature; value: begin is the index
};

struct Segment {
  enum Kind : std::uint8_t {
    fixed,    // signature bytes only: read in place
    reading,  // "id>" value ":" value: placed without reading
    mixed,    // anything else: put together, then read
    stamped,  // the header "id.s." then the timestamp text: only the timestamp is read
  } kind;
  bool header;
  std::uint32_t first, last;  // parts [first, last)
};

struct Layout {
  std::string sig;
  std::size_t value_count = 0;
  bool usable = false;
  std::vector<Part> parts;
  std::vector<Segment> segments;  // the header first
  bool has_msg = false;
  std::uint32_t msg_first = 0, msg_last = 0;
};

// The rebuilt text with each value as one placeholder byte and the timestamp as eight, and
// which part each byte comes from. Values without "|", "@" and ";" and the timestamp text
// (URL-safe Base64) put those bytes nowhere, so the placeholders find the same prefix,
// segments and trailer as the real text does.
struct Probe {
  std::string text;
  std::vector<Part> parts;
  std::vector<std::uint32_t> starts;  // where each part begins in `text`
};

Probe make_probe(std::string_view sig, std::size_t value_count, std::size_t ts_at) {
  Probe p;
  std::size_t next = 0, from = 0;
  const auto literal_to = [&](std::size_t to) {
    if (to == from) return;
    p.starts.push_back(static_cast<std::uint32_t>(p.text.size()));
    p.parts.push_back({Part::literal, static_cast<std::uint32_t>(from), static_cast<std::uint32_t>(to)});
    p.text.append(sig.substr(from, to - from));
  };
  for (std::size_t i = 0; i < sig.size();) {
    if (i == ts_at) {
      literal_to(i);
      p.starts.push_back(static_cast<std::uint32_t>(p.text.size()));
      p.parts.push_back({Part::timestamp, 0, 0});
      p.text.append(kTimestampSize, 'T');
      i += kTimestampMark.size();
      from = i;
    } else if (sig[i] == kValueSlot && next < value_count) {
      literal_to(i);
      p.starts.push_back(static_cast<std::uint32_t>(p.text.size()));
      p.parts.push_back({Part::value, static_cast<std::uint32_t>(next++), 0});
      p.text.push_back('V');
      from = ++i;
    } else {
      ++i;
    }
  }
  literal_to(sig.size());
  return p;
}

// Appends to `layout.parts` the parts of probe bytes [from, to), literals cut to the range.
void add_parts(const Probe& p, std::size_t from, std::size_t to, Layout& layout) {
  for (std::size_t k = 0; k < p.parts.size(); ++k) {
    const std::size_t b = p.starts[k];
    const std::size_t e = k + 1 < p.parts.size() ? p.starts[k + 1] : p.text.size();
    if (e <= from || b >= to) continue;
    Part part = p.parts[k];
    if (part.kind == Part::literal) {
      part.begin += static_cast<std::uint32_t>(std::max(b, from) - b);
      part.end -= static_cast<std::uint32_t>(e - std::min(e, to));
    }
    layout.parts.push_back(part);
  }
}

Segment::Kind kind_of(const Layout& layout, std::uint32_t first, std::uint32_t last) {
  const auto count = last - first;
  const Part* part = layout.parts.data() + first;
  if (count == 0 || (count == 1 && part[0].kind == Part::literal)) return Segment::fixed;
  if (count != 4 || part[0].kind != Part::literal || part[1].kind != Part::value ||
      part[2].kind != Part::literal || part[3].kind != Part::value)
    return Segment::mixed;
  const std::string_view id(layout.sig.data() + part[0].begin, part[0].end - part[0].begin);
  const std::string_view colon(layout.sig.data() + part[2].begin, part[2].end - part[2].begin);
  // The segment must be read as a reading whose first ">" ends the literal and whose
  // last ":" is the literal one (checked per packet: the second value holds no ":").
  if (id.empty() || id.front() == '&' || id.front() == '#' || id.find('>') != id.size() - 1 || colon != ":")
    return Segment::mixed;
  return Segment::reading;
}

// A header of the signature's bytes "id.s." and the timestamp text, nothing after: the
// timestamp text (URL-safe Base64 of six bytes, no ".") is the header's whole third part.
Segment::Kind header_kind_of(const Layout& layout, std::uint32_t first, std::uint32_t last) {
  const Part* part = layout.parts.data() + first;
  if (last - first != 2 || part[0].kind != Part::literal || part[1].kind != Part::timestamp) return Segment::mixed;
  const std::string_view ids(layout.sig.data() + part[0].begin, part[0].end - part[0].begin);
  const std::size_t dot1 = ids.find('.');
  if (dot1 == std::string_view::npos || ids.find('.', dot1 + 1) != ids.size() - 1) return Segment::mixed;
  return Segment::stamped;
}

void work_out(Layout& layout) {
  const std::string_view sig = layout.sig;
  layout.parts.clear();
  layout.segments.clear();
  layout.has_msg = false;
  layout.usable = false;
  const std::size_t ts_at = sig.find(kTimestampMark);
  if (ts_at == std::string_view::npos || !is_valid_utf8(sig)) return;
  if (static_cast<std::size_t>(std::count(sig.begin(), sig.end(), kValueSlot)) < layout.value_count) return;

  const Probe probe = make_probe(sig, layout.value_count, ts_at);
  std::string_view text = probe.text;
  const std::size_t semicolon = text.find(';');
  const std::size_t start = semicolon == std::string_view::npos ? 0 : semicolon + 1;
  const std::size_t at = text.find('@', start);
  const std::size_t main_end = at == std::string_view::npos ? text.size() : at;
  if (static_cast<std::size_t>(std::count(text.begin() + static_cast<std::ptrdiff_t>(start),
                                          text.begin() + static_cast<std::ptrdiff_t>(main_end), '|')) >
      kMaxFactReadings)
    return;  // the reader may refuse it for its readings: left to the reader

  for (std::size_t from = start;;) {
    const std::size_t bar = text.find('|', from);
    const std::size_t to = bar == std::string_view::npos || bar > main_end ? main_end : bar;
    const auto first = static_cast<std::uint32_t>(layout.parts.size());
    add_parts(probe, from, to, layout);
    const auto last = static_cast<std::uint32_t>(layout.parts.size());
    const bool header = layout.segments.empty();
    layout.segments.push_back({header ? header_kind_of(layout, first, last) : kind_of(layout, first, last), header, first, last});
    if (to == main_end) break;
    from = to + 1;
  }
  if (at != std::string_view::npos) {
    const std::size_t msg_end = std::min(text.find('@', at + 1), text.size());
    layout.has_msg = true;
    layout.msg_first = static_cast<std::uint32_t>(layout.parts.size());
    add_parts(probe, at + 1, msg_end, layout);
    layout.msg_last = static_cast<std::uint32_t>(layout.parts.size());
  }
  layout.usable = true;
}

const Layout& layout_for(std::uint64_t key, std::string_view sig, std::size_t value_count) {
  thread_local std::unordered_map<std::uint64_t, Layout> layouts;
  auto found = layouts.find(key);
  if (found == layouts.end()) {
    if (layouts.size() >= kMostLayouts) layouts.clear();
    found = layouts.try_emplace(key).first;
  } else if (found->second.value_count == value_count && found->second.sig == sig) {
    return found->second;
  }
  Layout& layout = found->second;
  layout.sig.assign(sig);
  layout.value_count = value_count;
  work_out(layout);
  return layout;
}

// Bytes a value may not hold on this path: the separators of prefix, segments and trailer,
// and anything outside ASCII (whose UTF-8 validity the reader would have to judge).
constexpr std::array<bool, 256> kRefused = [] {
  std::array<bool, 256> t{};
  for (int c = 0x80; c < 256; ++c) t[static_cast<std::size_t>(c)] = true;
  t['|'] = t['@'] = t[';'] = true;
  return t;
}();

// The first `c` in `v`, or npos: values are a few bytes, shorter than a library call's setup.
std::size_t find_byte(std::string_view v, char c) noexcept {
  for (std::size_t i = 0; i < v.size(); ++i)
    if (v[i] == c) return i;
  return std::string_view::npos;
}

// The timestamp of a header's URL-safe Base64 text, as the reader takes it: the first six
// bytes of a strict decoding.
std::optional<std::uint64_t> stamp_of(std::string_view ts_text) {
  thread_local std::string bytes;
  bytes.clear();
  if (!decode_base64(ts_text, Base64::url, bytes) || bytes.size() < 6) return std::nullopt;
  std::uint64_t t = 0;
  for (int i = 0; i < 6; ++i) t = (t << 8) | static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]);
  return t;
}

bool plain(std::string_view v) noexcept {
  bool refused = false;
  for (char c : v) refused |= kRefused[static_cast<unsigned char>(c)];
  return !refused;
}

}  // namespace

bool direct_fact_members(std::uint64_t layout_key, std::string_view sig, std::string_view ts_text,
                         std::span<const std::string> values, CompactFactMembers& out) {
  if (ts_text.size() != kTimestampSize || !plain(ts_text) || sig.size() > kLongestSignature) return false;
  std::size_t room = sig.size() + ts_text.size();
  for (const std::string& v : values) {
    if (!plain(v)) return false;
    room += v.size();
  }
  const Layout& layout = layout_for(layout_key, sig, values.size());
  if (!layout.usable) return false;

  // Every stretch put together lives here; sized first, so views into it stay put.
  thread_local std::string store;
  store.clear();
  store.reserve(room);
  const auto put_together = [&](std::uint32_t first, std::uint32_t last) {
    const std::size_t from = store.size();
    for (std::uint32_t k = first; k < last; ++k) {
      const Part& part = layout.parts[k];
      switch (part.kind) {
        case Part::literal: store.append(layout.sig, part.begin, part.end - part.begin); break;
        case Part::timestamp: store.append(ts_text); break;
        case Part::value: store.append(values[part.begin]); break;
      }
    }
    return std::string_view(store.data() + from, store.size() - from);
  };

  clear_compact_fact(out);
  for (const Segment& segment : layout.segments) {
    const Part* part = layout.parts.data() + segment.first;
    switch (segment.kind) {
      case Segment::fixed: {
        const std::string_view text =
            segment.first == segment.last
                ? std::string_view()
                : std::string_view(layout.sig.data() + part->begin, part->end - part->begin);
        add_fact_segment(text, segment.header, out);
        break;
      }
      case Segment::reading: {
        const std::string& code = values[part[3].begin];
        if (find_byte(code, ':') != std::string_view::npos) {
          add_fact_segment(put_together(segment.first, segment.last), false, out);
          break;
        }
        const std::string_view l = put_together(segment.first + 1, segment.first + 2);
        const std::size_t dot = find_byte(l, '.');
        const std::int64_t n = read_fact_value_code(code);
        out.readings.push_back({std::string_view(layout.sig.data() + part->begin, part->end - part->begin - 1),
                                l.substr(0, dot),
                                dot == std::string_view::npos ? std::string_view() : l.substr(dot + 1),
                                static_cast<double>(n) / kFactValueScale, n});
        break;
      }
      case Segment::mixed:
        add_fact_segment(put_together(segment.first, segment.last), segment.header, out);
        break;
      case Segment::stamped: {
        const std::string_view ids(layout.sig.data() + part->begin, part->end - part->begin);
        const std::size_t dot = find_byte(ids, '.');
        out.id = ids.substr(0, dot);
        out.s = ids.substr(dot + 1, ids.size() - dot - 2);
        out.t_raw = stamp_of(ts_text.substr(0, find_byte(ts_text, '.')));
        break;
      }
    }
  }
  if (layout.has_msg) add_fact_msg(put_together(layout.msg_first, layout.msg_last), out);
  return true;
}

}  // namespace vm
