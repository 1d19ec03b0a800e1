// Small helpers shared by the fusion tests: byte strings written as hex, and value lists.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vm::testing {

// "02 01 35" -> the three bytes; spaces are ignored.
inline std::string hex(std::string_view text) {
  std::string out;
  int high = -1;
  for (char c : text) {
    if (c == ' ') continue;
    const int v = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<char>(high << 4 | v));
      high = -1;
    }
  }
  return out;
}

inline std::vector<std::string_view> views(const std::vector<std::string>& values) {
  return {values.begin(), values.end()};
}

}  // namespace vm::testing
