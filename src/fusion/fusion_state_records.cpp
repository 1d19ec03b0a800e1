#include "fusion/fusion_state_records.h"

#include <string>
#include <utility>

#include "wire/byte_reader.h"

namespace vm {
namespace {

// Reads a 4-byte count and that many strings into `values`, which grows as they are read.
template <class Strings>
bool read_strings(ByteReader& reader, Strings& values) {
  const auto count = reader.u32();
  if (!count) return false;
  for (std::uint32_t i = 0; i < *count; ++i) {
    const auto value = reader.counted();
    if (!value) return false;
    values.emplace_back(*value);
  }
  return true;
}

}  // namespace

std::optional<ApplyRecord> read_apply_record(ByteSpan record, std::vector<std::string_view>& values) {
  values.clear();
  ByteReader reader(record);
  const auto aid = reader.u32();
  const auto force_full = reader.u8();
  if (!aid || !force_full) return std::nullopt;
  const auto sig = reader.counted();
  if (!sig || !read_strings(reader, values) || !reader.at_end()) return std::nullopt;
  return ApplyRecord{DeviceId{*aid}, *force_full != 0, *sig, values};
}

std::optional<ReceiveRecord> read_receive_record(ByteSpan record) noexcept {
  ByteReader reader(record);
  const auto aid = reader.u32();
  const auto command = reader.u8();
  const auto tid = reader.u32();
  if (!aid || !command || !tid) return std::nullopt;
  const auto ts_text = reader.counted();
  if (!ts_text) return std::nullopt;
  const auto body = reader.counted();
  if (!body || !reader.at_end()) return std::nullopt;
  return ReceiveRecord{DeviceId{*aid}, *command, TemplateId{*tid}, *ts_text, *body};
}

std::optional<SeedRecord> read_seed_record(ByteSpan record) {
  ByteReader reader(record);
  const auto aid = reader.u32();
  const auto count = reader.u32();
  if (!aid || !count) return std::nullopt;
  std::vector<SeedEntry> entries;
  for (std::uint32_t k = 0; k < *count; ++k) {
    const auto tid = reader.u32();
    if (!tid) return std::nullopt;
    const auto sig = reader.counted();
    if (!sig) return std::nullopt;
    SeedEntry& entry = entries.emplace_back(SeedEntry{TemplateId{*tid}, std::string(*sig), {}});
    if (!read_strings(reader, entry.values)) return std::nullopt;
  }
  if (!reader.at_end()) return std::nullopt;
  return SeedRecord{DeviceId{*aid}, seeded_device(std::move(entries))};
}

}  // namespace vm
