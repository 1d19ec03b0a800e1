// Which facts must travel whole: a receiver rebuilds a heartbeat or difference from the
// signature by putting the timestamp at the first "{TS}" and the values into the 0x01
// slot bytes, so a fact whose own texts hold "{TS}" or 0x01 (identifiers, states, a
// geohash) would come back with its timestamp or values in the wrong places. Such a fact
// is sent as a full packet every time. Pure function.
#pragma once

#include <string_view>

#include "compressor/decompose.h"

namespace vm {

// True when rebuilding `fact` from its signature, timestamp text and values could give
// anything but its text: the first "{TS}" is not the header's, or `text` (the text that
// was decomposed into `fact`) holds a 0x01 byte anywhere, so that the signature holds 0x01
// bytes besides the value slots or the timestamp text or a value holds one (a receiver
// that searches the rebuilt text from its start would take it for a slot).
[[nodiscard]] bool must_travel_whole(const DecomposedFact& fact, std::string_view text) noexcept;

}  // namespace vm
