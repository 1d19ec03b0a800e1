// Compact texts through vm_auto_decompose_input. Oracle: a direct reference of the split
// (routing prefix, header, segments, the last ":" of each reading) builds the expected
// record byte for byte; texts that are not UTF-8 or have no "|" or "." must give 0.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "velmarinthos_tavkin.h"

namespace {

std::optional<std::string> reference_record(std::string_view text) {
  if (!fuzz::utf8_ok(text)) return std::nullopt;
  if (const auto semi = text.find(';'); semi != std::string_view::npos) text = text.substr(semi + 1);
  const auto bar = text.find('|');
  if (bar == std::string_view::npos) return std::nullopt;
  const std::string_view header = text.substr(0, bar);
  const auto dot = header.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;

  std::string sig = std::string(header.substr(0, dot)) + ".{TS}|";
  std::vector<std::string_view> vals;
  std::vector<std::string> forms;
  std::string_view body = text.substr(bar + 1);
  while (true) {
    const auto end = body.find('|');
    const std::string_view segment = body.substr(0, end);
    if (!segment.empty()) {
      std::string form(segment);
      if (const auto gt = segment.find('>'); gt != std::string_view::npos) {
        const std::string_view rest = segment.substr(gt + 1);
        if (const auto colon = rest.rfind(':'); colon != std::string_view::npos) {
          vals.push_back(rest.substr(0, colon));
          vals.push_back(rest.substr(colon + 1));
          form = std::string(segment.substr(0, gt)) + "\x3E\x01\x3A\x01";
        }
      }
      forms.push_back(form);
    }
    if (end == std::string_view::npos) break;
    body.remove_prefix(end + 1);
  }
  for (std::size_t i = 0; i < forms.size(); ++i) sig += (i ? "|" : "") + forms[i];
  sig += '|';

  const std::string_view ts = header.substr(dot + 1);
  fuzz::Record r;
  r.u32(static_cast<std::uint32_t>(ts.size())).u32(static_cast<std::uint32_t>(sig.size()));
  r.u32(static_cast<std::uint32_t>(vals.size()));
  r.bytes.append(ts).append(sig);
  for (std::string_view v : vals) r.str(v);
  return r.bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::int32_t needed = vm_auto_decompose_input(data, size, nullptr, 0);
  const auto expected = size == 0 ? std::nullopt : reference_record(fuzz::text_of(data, size));
  FUZZ_CHECK((needed != 0) == expected.has_value());
  if (!expected) return 0;
  FUZZ_CHECK(needed == -static_cast<std::int32_t>(expected->size()));
  std::vector<std::uint8_t> out(expected->size() + 4, 0xEE);
  FUZZ_CHECK(vm_auto_decompose_input(data, size, out.data(), out.size()) == -needed);
  FUZZ_CHECK(fuzz::text_of(out.data(), expected->size()) == *expected);
  for (std::size_t i = expected->size(); i < out.size(); ++i) FUZZ_CHECK(out[i] == 0xEE);
  return 0;
}
