#include "json/json_reader.h"

#include <memory>
#include <vector>

#include "support/fault.h"

namespace vm::json {
namespace {

// Parser limits, as configured here:
// - Numbers: an integer must fit int64 or uint64 and a number with a fraction or exponent
//   must fit a double, otherwise the whole text is rejected, even when the number sits in a
//   value that a record skips. Such texts are rare and accepted as a known limit.
// - "-0" reads as the integer 0; "1.0" and "1e2" read as doubles, never as integers.
// - Depth: simdjson counts only non-empty containers, so [[1]] is depth 2 but [[]] only 1.
//   The parser is allowed one level more than kMaxDepth for non-empty containers, and
//   texts long enough to nest deeper than kMaxDepth are measured again (deep_enough).
constexpr std::size_t kParserDepth = kMaxDepth + 1;
constexpr std::size_t kInitialCapacity = 4096;
// A parser that grew beyond this is dropped when its lease ends, so that one huge text does
// not pin its buffers on a thread for good.
constexpr std::size_t kRetainedCapacity = std::size_t{1} << 20;

struct ParserPool {
  std::vector<std::unique_ptr<simdjson::dom::parser>> idle;
};

thread_local ParserPool t_pool;

// True when the nesting of arrays and objects in `text` (a text the parser accepted, so
// strings are well formed) never exceeds kMaxDepth.
bool nesting_within_limit(std::string_view text) noexcept {
  std::size_t depth = 0;
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p < end) {
    const char c = *p++;
    if (c == '"') {
      while (p < end && *p != '"') p += (*p == '\\') ? 2 : 1;
      ++p;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxDepth) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

}  // namespace

Reader::Reader() {
  ParserPool& pool = t_pool;
  if (!pool.idle.empty()) {
    parser_ = pool.idle.back().release();
    pool.idle.pop_back();
    return;
  }
  auto fresh = std::make_unique<simdjson::dom::parser>();
  VM_CHECK(fresh->allocate(kInitialCapacity, kParserDepth) == simdjson::SUCCESS);
  parser_ = fresh.release();
}

Reader::~Reader() {
  std::unique_ptr<simdjson::dom::parser> parser(parser_);
  if (parser->capacity() <= kRetainedCapacity) t_pool.idle.push_back(std::move(parser));
}

std::optional<Element> Reader::parse(std::string_view text) noexcept {
  if (text.empty()) return std::nullopt;  // never JSON; and its data pointer may be null
  Element root;
  const simdjson::error_code error = parser_->parse(text.data(), text.size()).get(root);
  VM_CHECK(error != simdjson::MEMALLOC);
  if (error != simdjson::SUCCESS) return std::nullopt;
  // Nesting deeper than kMaxDepth needs two bytes per level; only then can the parser's
  // count (which skips empty containers) fall short of the true depth.
  if (text.size() >= 2 * (kMaxDepth + 1) && !nesting_within_limit(text)) return std::nullopt;
  return root;
}

}  // namespace vm::json
