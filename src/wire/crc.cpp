#include "wire/crc.h"

#include <array>

namespace vm {
namespace {

constexpr std::uint16_t crc16_step(std::uint16_t crc, std::uint16_t poly) {
  for (int bit = 0; bit < 8; ++bit)
    crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ poly)
                         : static_cast<std::uint16_t>(crc << 1);
  return crc;
}

constexpr std::uint8_t crc8_step(std::uint8_t crc, std::uint8_t poly) {
  for (int bit = 0; bit < 8; ++bit)
    crc = (crc & 0x80) ? static_cast<std::uint8_t>((crc << 1) ^ poly)
                       : static_cast<std::uint8_t>(crc << 1);
  return crc;
}

constexpr auto kCrc16Table = [] {
  std::array<std::uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) t[i] = crc16_step(static_cast<std::uint16_t>(i << 8), kCrc16Poly);
  return t;
}();

constexpr auto kCrc8Table = [] {
  std::array<std::uint8_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) t[i] = crc8_step(static_cast<std::uint8_t>(i), kCrc8Poly);
  return t;
}();

}  // namespace

std::uint16_t crc16(ByteSpan data, std::uint16_t poly, std::uint16_t init) noexcept {
  std::uint16_t crc = init;
  for (std::uint8_t b : data) crc = crc16_step(static_cast<std::uint16_t>(crc ^ (b << 8)), poly);
  return crc;
}

std::uint8_t crc8(ByteSpan data, std::uint8_t poly, std::uint8_t init) noexcept {
  std::uint8_t crc = init;
  for (std::uint8_t b : data) crc = crc8_step(static_cast<std::uint8_t>(crc ^ b), poly);
  return crc;
}

std::uint16_t packet_crc16(ByteSpan data) noexcept {
  std::uint16_t crc = kCrc16Init;
  for (std::uint8_t b : data)
    crc = static_cast<std::uint16_t>((crc << 8) ^ kCrc16Table[((crc >> 8) ^ b) & 0xFF]);
  return crc;
}

std::uint8_t body_crc8(ByteSpan data) noexcept {
  std::uint8_t crc = kCrc8Init;
  for (std::uint8_t b : data) crc = kCrc8Table[crc ^ b];
  return crc;
}

}  // namespace vm
