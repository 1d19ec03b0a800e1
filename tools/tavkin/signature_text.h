// Template signatures made readable: the timestamp slot stays "{TS}", value slot i (the
// byte 0x01) becomes "{i}", other control bytes become "\xNN"; and what each value slot
// holds (which reading, state-and-unit or value). Pure functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavkin {

// Printable form of arbitrary bytes: control bytes and 0x7F as "\xNN", "\" as "\\".
[[nodiscard]] std::string printable(std::string_view bytes);

[[nodiscard]] std::string render_signature(std::string_view sig);

// The signature with its slots filled by `values` (the template's last fact, "{TS}" kept).
[[nodiscard]] std::string render_filled(std::string_view sig, const std::vector<std::string>& values);

// One label per value slot, in slot order: "t1 state.unit", "t1 value", ...
[[nodiscard]] std::vector<std::string> slot_labels(std::string_view sig);

}  // namespace tavkin
