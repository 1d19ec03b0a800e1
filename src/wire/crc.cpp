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

// Slicing by eight: table k holds the CRC of a byte followed by k zero bytes, so eight
// bytes take eight independent lookups instead of a chain of eight dependent steps.
constexpr auto kCrc16Tables = [] {
  std::array<std::array<std::uint16_t, 256>, 8> t{};
  for (unsigned i = 0; i < 256; ++i) t[0][i] = crc16_step(static_cast<std::uint16_t>(i << 8), kCrc16Poly);
  for (std::size_t k = 1; k < 8; ++k)
    for (unsigned i = 0; i < 256; ++i)
      t[k][i] = static_cast<std::uint16_t>((t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 8]);
  return t;
}();

constexpr auto kCrc8Tables = [] {
  std::array<std::array<std::uint8_t, 256>, 8> t{};
  for (unsigned i = 0; i < 256; ++i) t[0][i] = crc8_step(static_cast<std::uint8_t>(i), kCrc8Poly);
  for (std::size_t k = 1; k < 8; ++k)
    for (unsigned i = 0; i < 256; ++i) t[k][i] = t[0][t[k - 1][i]];
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
  const auto& t = kCrc16Tables;
  std::uint16_t crc = kCrc16Init;
  const std::uint8_t* p = data.data();
  std::size_t n = data.size();
  for (; n >= 8; n -= 8, p += 8) {
    crc = static_cast<std::uint16_t>(t[7][(crc >> 8) ^ p[0]] ^ t[6][(crc & 0xFF) ^ p[1]] ^ t[5][p[2]] ^
                                     t[4][p[3]] ^ t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]]);
  }
  for (; n > 0; --n, ++p) crc = static_cast<std::uint16_t>((crc << 8) ^ t[0][((crc >> 8) ^ *p) & 0xFF]);
  return crc;
}

std::uint8_t body_crc8(ByteSpan data) noexcept {
  const auto& t = kCrc8Tables;
  std::uint8_t crc = kCrc8Init;
  const std::uint8_t* p = data.data();
  std::size_t n = data.size();
  for (; n >= 8; n -= 8, p += 8) {
    crc = static_cast<std::uint8_t>(t[7][crc ^ p[0]] ^ t[6][p[1]] ^ t[5][p[2]] ^ t[4][p[3]] ^ t[3][p[4]] ^
                                    t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]]);
  }
  for (; n > 0; --n, ++p) crc = t[0][crc ^ *p];
  return crc;
}

}  // namespace vm
