// Batch inputs and answers for the export tests: builds the big-endian batch record and
// splits an answer into its entries; compresses facts through the exports.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../compressor/record_builder.h"
#include "request_support.h"

namespace requests {

struct BatchItem {
  std::uint32_t aid;
  std::uint8_t flag;   // non-zero forces a full packet
  std::string record;  // a fact record
};

inline std::string batch_input(std::uint64_t handle, std::uint64_t ctx_id, std::string_view root,
                               const std::vector<BatchItem>& items,
                               std::optional<std::uint32_t> count = std::nullopt) {
  std::string in;
  put_u64(in, handle);
  put_u64(in, ctx_id);
  put_u32(in, count.value_or(static_cast<std::uint32_t>(items.size())));
  put_u32(in, static_cast<std::uint32_t>(root.size()));
  in.append(root);
  for (const auto& item : items) {
    put_u32(in, item.aid);
    in.push_back(static_cast<char>(item.flag));
    put_u32(in, static_cast<std::uint32_t>(item.record.size()));
    in.append(item.record);
  }
  return in;
}

struct BatchAnswer {
  std::uint32_t count = 0;
  std::vector<std::string> packets;  // one per entry; "" for an empty entry
  bool well_formed = false;          // the entries use up the answer exactly
};

inline BatchAnswer parse_batch_answer(std::string_view a) {
  const auto u32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(a[at + i]);
    return v;
  };
  BatchAnswer out;
  if (a.size() < 4) return out;
  out.count = u32(0);
  std::size_t at = 4;
  while (at + 4 <= a.size()) {
    const std::uint32_t n = u32(at);
    if (at + 4 + n > a.size()) return out;
    out.packets.emplace_back(a.substr(at + 4, n));
    at += 4 + n;
  }
  out.well_formed = at == a.size();
  return out;
}

inline std::uint64_t create_compressor(const vm::testing::ConfigSpec& settings) {
  const std::string config = vm::testing::config_record(settings).bytes;
  return vm_compressor_create_v1(reinterpret_cast<const uint8_t*>(config.data()), config.size());
}

// The compact text of a fact record, or "" when it does not compress.
inline std::string compress(std::uint64_t handle, std::string_view record) {
  std::vector<std::uint8_t> out(record.size() * 4 + 512);
  const int32_t n = vm_compress_fact_v1(handle, reinterpret_cast<const uint8_t*>(record.data()), record.size(),
                                        out.data(), out.size());
  return n > 0 ? std::string(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(n)) : std::string();
}

}  // namespace requests
