// Strong types for the numbers that travel together and must not be mixed up: a device
// id (aid), a template id (tid) and a 48-bit packet timestamp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "support/keyed_hash.h"

namespace vm {

enum class DeviceId : std::uint32_t {};
enum class TemplateId : std::uint32_t {};
enum class Timestamp48 : std::uint64_t {};

constexpr std::uint32_t raw(DeviceId id) noexcept { return static_cast<std::uint32_t>(id); }
constexpr std::uint32_t raw(TemplateId id) noexcept { return static_cast<std::uint32_t>(id); }
constexpr std::uint64_t raw(Timestamp48 t) noexcept { return static_cast<std::uint64_t>(t); }

}  // namespace vm

// Device and template ids arrive in packets, seed records and registry files: maps keyed by
// them hash with the process's secret key, so crafted ids cannot pile into one bucket.
template <>
struct std::hash<vm::DeviceId> {
  std::size_t operator()(vm::DeviceId id) const noexcept { return vm::KeyedHash{}(id); }
};
template <>
struct std::hash<vm::TemplateId> {
  std::size_t operator()(vm::TemplateId id) const noexcept { return vm::KeyedHash{}(id); }
};
