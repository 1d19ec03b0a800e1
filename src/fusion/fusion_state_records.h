// Readers of the binary records that the fusion-state calls take: apply (a fact to
// encode), receive (a packet body to apply) and seed (a device's templates). Big-endian
// integers, strings as a 4-byte length and raw bytes; a record must end exactly at the
// end of its input. Views point into the input. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "fusion/template_model.h"
#include "support/bytes.h"

namespace vm {

struct ApplyRecord {
  DeviceId aid;
  bool force_full;
  std::string_view sig;
  std::span<const std::string_view> values;  // the vector handed to the reader
};

struct ReceiveRecord {
  DeviceId aid;
  std::uint8_t command;
  TemplateId tid;
  std::string_view ts_text;
  std::string_view body;
};

struct SeedRecord {
  DeviceId aid;
  DeviceTemplates device;  // built as seeded_device builds it
};

// Fills `values` (cleared first; grown as values are read, never reserved from the count).
[[nodiscard]] std::optional<ApplyRecord> read_apply_record(ByteSpan record,
                                                           std::vector<std::string_view>& values);
[[nodiscard]] std::optional<ReceiveRecord> read_receive_record(ByteSpan record) noexcept;
[[nodiscard]] std::optional<SeedRecord> read_seed_record(ByteSpan record);

}  // namespace vm
