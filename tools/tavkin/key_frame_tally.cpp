#include "key_frame_tally.h"

#include "library.h"

namespace tavkin {

void KeyFrameTally::add(std::uint32_t aid, std::string_view text, std::string_view packet, bool asked_full) {
  if (packet.empty()) return;
  auto sig = signature_of(text);
  if (!sig) return;
  const bool known = !seen_.emplace(aid, std::move(*sig)).second;
  if (known && !asked_full && static_cast<unsigned char>(packet.front()) == 63) ++count_;
}

}  // namespace tavkin
