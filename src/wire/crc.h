// The two checksums of the packet format: CRC-16 (trailer) and CRC-8 (body check), both
// MSB-first, unreflected, no final XOR. The generic routines take any polynomial; the
// fixed-parameter ones are table-driven and are what packet code calls. Pure functions.
#pragma once

#include <cstdint>

#include "support/bytes.h"

namespace vm {

inline constexpr std::uint16_t kCrc16Poly = 0x1021;  // CRC-16/CCITT-FALSE
inline constexpr std::uint16_t kCrc16Init = 0xFFFF;
inline constexpr std::uint8_t kCrc8Poly = 0x07;  // CRC-8/SMBUS
inline constexpr std::uint8_t kCrc8Init = 0x00;

[[nodiscard]] std::uint16_t crc16(ByteSpan data, std::uint16_t poly, std::uint16_t init) noexcept;
[[nodiscard]] std::uint8_t crc8(ByteSpan data, std::uint8_t poly, std::uint8_t init) noexcept;

// Packet trailer: CRC-16 with 0x1021 / 0xFFFF.
[[nodiscard]] std::uint16_t packet_crc16(ByteSpan data) noexcept;
// Body check byte: CRC-8 with 0x07 / 0x00.
[[nodiscard]] std::uint8_t body_crc8(ByteSpan data) noexcept;

}  // namespace vm
