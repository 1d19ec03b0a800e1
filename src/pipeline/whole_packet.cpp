#include "pipeline/whole_packet.h"

#include <algorithm>
#include <string_view>

namespace vm {
namespace {

constexpr char kSlot = '\x01';

bool holds_slot_byte(std::string_view text) noexcept { return text.find(kSlot) != std::string_view::npos; }

}  // namespace

bool must_travel_whole(const DecomposedFact& fact) noexcept {
  const std::string_view sig = fact.sig;
  // A signature starts with the identity part (which has no "|"), ".{TS}" and "|".
  const std::size_t first_bar = sig.find('|');
  if (first_bar == std::string_view::npos || first_bar < kTimestampMark.size() ||
      sig.find(kTimestampMark) != first_bar - kTimestampMark.size())
    return true;
  if (static_cast<std::size_t>(std::count(sig.begin(), sig.end(), kSlot)) != fact.vals.size()) return true;
  if (holds_slot_byte(fact.ts)) return true;
  return std::any_of(fact.vals.begin(), fact.vals.end(), holds_slot_byte);
}

}  // namespace vm
