// A small JSON writer with the library's conventions: compact text, members in ascending
// byte order of their keys, minimal escaping, shortest round-trip numbers ("10.0",
// "0.00001", "1e+16"). Used for the tool's own output and for the answers it predicts.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>

namespace tavkin {

// Already written JSON text, embedded as it stands (a nested object).
struct RawJson {
  std::string text;
  bool operator==(const RawJson&) const = default;
};

using JsonScalar = std::variant<std::string, std::uint64_t, double, bool, RawJson>;

// std::string compares like memcmp, so iteration order is ascending byte order.
using JsonObject = std::map<std::string, JsonScalar>;

void append_json_string(std::string& out, std::string_view text);
void append_json_number(std::string& out, double value);
void append_json(std::string& out, const JsonObject& object);
[[nodiscard]] std::string to_json(const JsonObject& object);

}  // namespace tavkin
