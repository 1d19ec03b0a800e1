// Strong types for the numbers that travel together and must not be mixed up: a device
// id (aid), a template id (tid) and a 48-bit packet timestamp.
#pragma once

#include <cstdint>

namespace vm {

enum class DeviceId : std::uint32_t {};
enum class TemplateId : std::uint32_t {};
enum class Timestamp48 : std::uint64_t {};

constexpr std::uint32_t raw(DeviceId id) noexcept { return static_cast<std::uint32_t>(id); }
constexpr std::uint32_t raw(TemplateId id) noexcept { return static_cast<std::uint32_t>(id); }
constexpr std::uint64_t raw(Timestamp48 t) noexcept { return static_cast<std::uint64_t>(t); }

}  // namespace vm
