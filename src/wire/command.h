// Data command codes. Each plain data command has a secure variant one higher; any other
// byte is not a data command and is its own base command.
#pragma once

#include <cstdint>

namespace vm {

inline constexpr std::uint8_t DATA_FULL = 63;
inline constexpr std::uint8_t DATA_HEART = 127;
inline constexpr std::uint8_t DATA_DIFF = 170;
inline constexpr std::uint8_t DATA_FULL_SEC = 64;
inline constexpr std::uint8_t DATA_HEART_SEC = 128;
inline constexpr std::uint8_t DATA_DIFF_SEC = 171;

constexpr bool is_plain_data(std::uint8_t cmd) noexcept {
  return cmd == DATA_FULL || cmd == DATA_HEART || cmd == DATA_DIFF;
}
constexpr bool is_secure_data(std::uint8_t cmd) noexcept {
  return cmd == DATA_FULL_SEC || cmd == DATA_HEART_SEC || cmd == DATA_DIFF_SEC;
}
constexpr bool is_data_command(std::uint8_t cmd) noexcept {
  return is_plain_data(cmd) || is_secure_data(cmd);
}
constexpr std::uint8_t normalize_data_command(std::uint8_t cmd) noexcept {
  return is_secure_data(cmd) ? static_cast<std::uint8_t>(cmd - 1) : cmd;
}
constexpr std::uint8_t secure_variant(std::uint8_t cmd) noexcept {
  return is_plain_data(cmd) ? static_cast<std::uint8_t>(cmd + 1) : cmd;
}

}  // namespace vm
