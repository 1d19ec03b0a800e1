#include "signature/signature_format.h"

#include <cstring>
#include <string_view>

namespace vm {

bool must_travel_whole(std::string_view sig, std::string_view text) noexcept {
  // Every 0x01 of the signature beyond its value slots, and every 0x01 in the timestamp
  // text or a value, comes from the fact's own text: one memchr answers all of them.
  if (std::memchr(text.data(), kValueSlot, text.size()) != nullptr) return true;
  // The signature starts with the identity part (which has no "|"), ".{TS}" and "|"; the
  // first "{TS}" must be that one. The search stops there, so it reads only the header.
  const std::size_t first_bar = sig.find('|');
  if (first_bar == std::string_view::npos || first_bar < kTimestampMark.size()) return true;
  return sig.find(kTimestampMark) != first_bar - kTimestampMark.size();
}

}  // namespace vm
