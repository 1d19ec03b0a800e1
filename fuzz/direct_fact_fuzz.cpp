// A heartbeat's or diff's answer read straight from an arbitrary signature and values
// against the rebuilt text read back. Input: one byte for the layout key and value count,
// then NUL-separated chunks: the signature, the values, and optionally the timestamp text.
// Oracle: whenever the direct reader takes the fact, both answers are the same bytes; it
// takes every fact whose signature is plain and whose values hold only plain characters.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "fusion/packet_decoder.h"
#include "requests/compact_fact_json.h"
#include "requests/decompress_answer.h"
#include "requests/direct_fact.h"
#include "wire/utf8.h"

namespace {

std::string answer(const vm::CompactFactMembers& fact) {
  vm::HeaderInfo h;
  h.base_cmd = h.cmd = 127;
  std::string out;
  vm::append_decompress_answer(fact, h, out);
  return out;
}

std::optional<std::string> through_text(std::string_view sig, std::string_view ts,
                                        const std::vector<std::string>& values) {
  std::string rebuilt;
  if (!vm::rebuild_fact(sig, ts, values, rebuilt)) return std::nullopt;
  std::string_view text = vm::is_valid_utf8(rebuilt) ? std::string_view(rebuilt) : std::string_view();
  if (const std::size_t semicolon = text.find(';'); semicolon != std::string_view::npos)
    text.remove_prefix(semicolon + 1);
  vm::CompactFactMembers fact;
  if (!vm::read_compact_fact(text, fact)) return std::string("too many readings");
  return answer(fact);
}

// A fact every reader should take: nothing outside ASCII, no separator inside a value.
bool plain(std::string_view sig, std::string_view ts, const std::vector<std::string>& values) {
  const auto ascii = [](std::string_view s) {
    for (char c : s)
      if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
  };
  if (!ascii(sig) || sig.size() > 1024 || ts.size() != 8 || ts.find_first_of("|@;") != std::string_view::npos ||
      !ascii(ts))
    return false;
  for (const std::string& v : values)
    if (!ascii(v) || v.find_first_of("|@;") != std::string::npos) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t first = data[0];
  std::vector<std::string> chunks;
  std::string_view rest = fuzz::text_of(data + 1, size - 1);
  while (true) {
    const std::size_t nul = rest.find('\0');
    chunks.emplace_back(rest.substr(0, nul));
    if (nul == std::string_view::npos) break;
    rest.remove_prefix(nul + 1);
  }
  const std::string& sig = chunks[0];
  const std::size_t value_count = first & 0x0F;
  std::vector<std::string> values(value_count);
  for (std::size_t i = 0; i < value_count && i + 1 < chunks.size(); ++i) values[i] = chunks[i + 1];
  const std::string ts = chunks.size() > value_count + 1 ? chunks[value_count + 1] : "AYvD-_0A";
  // Few keys: signatures meet the layouts that earlier inputs left under the same key.
  const std::uint64_t key = first >> 6;

  vm::CompactFactMembers fact;
  const bool taken = vm::direct_fact_members(key, sig, ts, values, fact);
  const auto expected = through_text(sig, ts, values);
  if (taken) {
    FUZZ_CHECK(expected.has_value());
    FUZZ_CHECK(answer(fact) == *expected);
  } else {
    FUZZ_CHECK(!expected || !plain(sig, ts, values));  // declined only for what it cannot vouch for
  }
  return 0;
}
