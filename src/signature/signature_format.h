// The signature format: what stays the same from fact to fact, with marks where the
// changing texts go. The timestamp text stands as the first "{TS}" (written as ".{TS}|"
// after the identity part) and each reading as its id followed by ">" 0x01 ":" 0x01, one
// value slot byte per changing text. A receiver rebuilds a heartbeat or difference by
// putting the timestamp at the first "{TS}" and the values into the slot bytes in order,
// so a fact whose own texts hold "{TS}" or 0x01 (identifiers, states, a geohash) would
// come back with its timestamp or values in the wrong places: such a fact is sent as a
// full packet every time. Pure functions.
#pragma once

#include <string_view>

namespace vm {

// Where the timestamp text goes.
inline constexpr std::string_view kTimestampMark = "{TS}";
// Where one value goes.
inline constexpr char kValueSlot = '\x01';
// The timestamp field of a signature: the dot that ends the identity part, the mark, the
// bar that ends the header.
inline constexpr std::string_view kTimestampField = ".{TS}|";
// What follows a reading's id: its state and value, each as a slot.
inline constexpr std::string_view kReadingMark = "\x3E\x01\x3A\x01";

static_assert(kTimestampField.substr(1, kTimestampMark.size()) == kTimestampMark);
static_assert(kReadingMark[1] == kValueSlot && kReadingMark[3] == kValueSlot);

// True when rebuilding a fact from its signature `sig`, timestamp text and values could
// give anything but its text: the first "{TS}" is not the header's, or `text` (the text
// that was decomposed into `sig`) holds a 0x01 byte anywhere, so that the signature holds
// 0x01 bytes besides the value slots or the timestamp text or a value holds one (a
// receiver that searches the rebuilt text from its start would take it for a slot).
[[nodiscard]] bool must_travel_whole(std::string_view sig, std::string_view text) noexcept;

}  // namespace vm
