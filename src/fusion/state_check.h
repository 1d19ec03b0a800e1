// The state check: one byte that a heartbeat or difference packet may carry in place of
// the CRC-8 of its body, so that a receiver can tell whether the fact it rebuilds is the
// fact the sender meant. It is a digest of the template's state after the packet (its
// signature and every value), folded with the packet's timestamp into 8 bits. A receiver
// whose copy of the template has drifted (a lost difference, a stale file) computes
// another digest, and the fold makes the byte differ with odds 255/256 on each packet
// independently, so a drift that slips past one packet is caught on the next.
//
// Digest: CRC-32C (Castagnoli, reflected, init and final XOR 0xFFFFFFFF) over the records
// of the signature and of each value in order, a record being one byte (length mod 256),
// the bytes, and zero bytes up to a multiple of 8. The fold, with f the murmur3 32-bit
// finaliser and t the 48-bit packet timestamp: the low byte of
// f(crc ^ f((t mod 2^32) ^ (t >> 32))). Pure functions; docs/protocol.md gives a worked example.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vm {

// The CRC-32C state after the signature's record: the part of the digest that stays the
// same from packet to packet of a template, so that it can be kept with the template.
[[nodiscard]] std::uint32_t signature_crc(std::string_view sig) noexcept;

// A value that a difference packet is about to replace.
struct ValueChange {
  std::size_t index;
  std::string_view value;
};

// The 32-bit digest of a template: its signature's CRC state continued over the values,
// with `changes` (in increasing index order) in place of the values they name, so that a
// receiver can check a difference before it applies it.
[[nodiscard]] std::uint32_t template_state_digest(std::uint32_t sig_crc,
                                                  std::span<const std::string_view> values) noexcept;
[[nodiscard]] std::uint32_t template_state_digest(std::uint32_t sig_crc, std::span<const std::string> values,
                                                  std::span<const ValueChange> changes = {}) noexcept;

template <class Value>
[[nodiscard]] std::uint32_t template_state_digest(std::string_view sig, std::span<const Value> values) noexcept {
  return template_state_digest(signature_crc(sig), values);
}

// The check byte of a digest for a packet stamped `timestamp` (48 bits).
[[nodiscard]] std::uint8_t fold_state_check(std::uint32_t digest, std::uint64_t timestamp) noexcept;

namespace detail {
// The digest without the CPU's CRC instruction, as machines without it compute it.
[[nodiscard]] std::uint32_t portable_state_digest(std::string_view sig, std::span<const std::string> values,
                                                  std::span<const ValueChange> changes = {}) noexcept;
}  // namespace detail

template <class Value>
[[nodiscard]] std::uint8_t state_check(std::string_view sig, std::span<const Value> values,
                                       std::uint64_t timestamp) noexcept {
  return fold_state_check(template_state_digest(sig, values), timestamp);
}

}  // namespace vm
