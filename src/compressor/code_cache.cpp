#include "compressor/code_cache.h"

#include <cstring>
#include <utility>

#include "compressor/unit_code.h"
#include "support/small_copy.h"

namespace vm {
namespace {

// A hash of a short text from a few word loads (no byte loop for the usual few bytes).
std::uint64_t text_hash(std::string_view text) noexcept {
  constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
  const char* p = text.data();
  const std::size_t n = text.size();
  std::uint64_t h = n * kMul;
  if (n >= 8) {
    std::uint64_t w;
    for (std::size_t i = 0; i + 8 < n; i += 8) {
      std::memcpy(&w, p + i, 8);
      h = (h ^ w) * kMul;
    }
    std::memcpy(&w, p + n - 8, 8);
    h = (h ^ w) * kMul;
  } else if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    h = (h ^ (std::uint64_t{a} << 32 | b)) * kMul;
  } else if (n > 0) {
    const auto byte = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
    h = (h ^ (byte(0) | byte(n / 2) << 8 | byte(n - 1) << 16)) * kMul;
  }
  return h ^ (h >> 32);
}

void make_codes(TextOut& out, const FactCompressor& c, std::string_view state, std::string_view unit,
                bool with_unit) {
  write_mapped(out, c.state_map, state);
  if (!with_unit) return;
  out.room(1);
  out.put('.');
  append_unit_code(out.string(), unit, c.unit_map, c.scale);
  out.resume();
}

}  // namespace

thread_local CodeCache t_codes;

void write_mapped(TextOut& out, const CodeMap& map, std::string_view name) {
  const std::string* code = map.find(name);
  out.append(code ? std::string_view(*code) : name);
}

void CodeCache::write(TextOut& out, const FactCompressor& c, std::string_view state, std::string_view unit,
                      bool with_unit) {
  if (state.size() > kLongestText || unit.size() > kLongestText) {
    make_codes(out, c, state, unit, with_unit);
    return;
  }
  const std::uint64_t h = text_hash(state) ^ (text_hash(unit) * 31) ^ c.state_map.version() ^
                          (c.unit_map.version() << 20) ^ (c.scale << 40) ^ with_unit;
  Entry* set = sets_[(h ^ (h >> 17)) % kSets];
  for (int way = 0; way < 2; ++way) {
    const Entry& e = set[way];
    if (e.used && e.with_unit == with_unit && e.state_map == c.state_map.version() &&
        e.unit_map == c.unit_map.version() && e.scale == c.scale && e.state.size() == state.size() &&
        e.unit.size() == unit.size() && same_bytes(e.state.data(), state.data(), state.size()) &&
        same_bytes(e.unit.data(), unit.data(), unit.size())) {
      out.append(e.code);
      return;
    }
  }
  // The older way makes room; the new codes go first.
  std::swap(set[0], set[1]);
  Entry& e = set[0];
  const std::size_t start = out.size();
  make_codes(out, c, state, unit, with_unit);
  e.used = true;
  e.with_unit = with_unit;
  e.state_map = c.state_map.version();
  e.unit_map = c.unit_map.version();
  e.scale = c.scale;
  e.state.assign(state);
  e.unit.assign(unit);
  e.code.assign(out.written_since(start));
}

}  // namespace vm
